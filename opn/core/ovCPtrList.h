// Doubly linked list of untyped pointers. The list owns its nodes, never the
// elements. A cursor remembers the node reached last by GetAt, so removing
// the element just looked up needs no walk.
//
// Nodes come from malloc; nothing throws.
#pragma once

#include <stdint.h>

class ovCPtrList {
  public:
    struct Node {
        void* element;
        Node* prev;
        Node* next;
    };

    ovCPtrList() { Init(); }
    ~ovCPtrList() { RemoveAll(); }
    ovCPtrList(const ovCPtrList&) = delete;
    ovCPtrList& operator=(const ovCPtrList&) = delete;

    // Zeroes all fields without freeing anything: for a list that holds no
    // nodes (RemoveAll frees them).
    void Init();
    // False only when no node could be allocated. The first node also becomes
    // the cursor.
    bool AddTail(void* element);
    // Walks from the head. Null for a negative or too large index; otherwise
    // the cursor moves to that node.
    void* GetAt(int32_t index);
    // Null when empty.
    void* GetHead() const;
    // The element of node `index` (null when out of range); frees the node and
    // moves the cursor back to the head.
    void* RemoveAt(int32_t index);
    // Unlinks the first node holding `element`, trying the cursor first;
    // returns the element or null. Removing the cursor node moves the cursor
    // back to the head.
    void* Remove(void* element);
    // Frees every node (the elements are untouched) and zeroes the fields.
    void RemoveAll();

    int32_t Count() const { return m_count; }
    Node* HeadNode() const { return m_head; }
    Node* TailNode() const { return m_tail; }
    Node* CursorNode() const { return m_cursor; }

  private:
    void Unlink(Node* node);

    int32_t m_count;
    Node* m_head;
    Node* m_tail;
    Node* m_cursor;
};
