// Files and folders of the platform. Every path is a narrow Windows-form path
// in the system code page ("C:\dir\file"); the POSIX backend maps it (see
// posix/pfPath.h). A null path fails.
#pragma once

#include <stddef.h>
#include <stdint.h>

class ovCString;

// Appends the whole buffer to the end of the file, creating the file when it
// is missing. The data goes out in one append write (POSIX O_APPEND, Windows
// FILE_APPEND_DATA), so appends of several threads or processes do not cut
// into each other. False when the file cannot be opened or not all bytes were
// written.
bool FsAppendFile(const char* path, const void* data, size_t size);

// Creates one folder (its parent must exist). True when the folder exists
// afterwards, also when it was already there.
bool FsCreateFolder(const char* path);

// True when a file or a folder exists at the path.
bool FsExists(const char* path);

// True when a folder exists at the path.
bool FsIsFolder(const char* path);

// Size in bytes of the file at the path; -1 when there is none (or it is a
// folder).
int64_t FsFileSize(const char* path);

// Deletes a file (not a folder). False when it could not be deleted, also
// when it did not exist.
bool FsDeleteFile(const char* path);

// Creates the file empty, or empties it when it exists.
bool FsCreateEmptyFile(const char* path);

// --- Files written in pieces, with attributes and times; the current folder.
// Used by the zip reader's extraction.

// Windows file attribute bits, the form in which attributes are given here.
const uint32_t kFsAttributeReadOnly = 0x01;
const uint32_t kFsAttributeHidden = 0x02;
const uint32_t kFsAttributeSystem = 0x04;
const uint32_t kFsAttributeDirectory = 0x10;
const uint32_t kFsAttributeArchive = 0x20;

// A file open for writing; FsCloseFile closes and frees it.
struct FsFile;

// Creates the file for writing only, shared with nobody, replacing a file of
// that name, and gives it `attributes` (read-only, hidden, system, archive;
// other bits are ignored). Null when it cannot be created, which includes an
// existing read-only file. POSIX: read-only means no write permission bit;
// a read-only file gets mode 0444 (it stays writable through this handle),
// others 0644 less the umask; hidden, system and archive have no equivalent,
// and nothing stops other openers.
FsFile* FsCreateFileForWriting(const char* path, uint32_t attributes);

// Writes the whole buffer at the current end; false on failure.
bool FsWriteFile(FsFile* file, const void* data, size_t size);

// Sets the times in FILETIME units (100 ns since 1601-01-01 UTC); a 0 leaves
// that time as it is. POSIX cannot set a creation time and ignores it.
bool FsSetFileTimes(FsFile* file, uint64_t creation, uint64_t access, uint64_t write);

// Closes and frees the file; false when a null file was given or the close
// reported an error (data may be lost).
bool FsCloseFile(FsFile* file);

// Wide forms for callers that hold UTF-16 paths (zero-terminated), otherwise
// as FsExists, FsCreateFolder and FsCreateFileForWriting. POSIX: the path is
// turned into UTF-8 (a lone surrogate becomes U+FFFD) and then mapped like a
// narrow path, so these files carry UTF-8 names where the narrow calls keep
// the caller's bytes.
bool FsExistsWide(const char16_t* path);
bool FsCreateFolderWide(const char16_t* path);
FsFile* FsCreateFileForWritingWide(const char16_t* path, uint32_t attributes);

// The process's current folder in Windows form, without a trailing separator
// unless it is a root ("C:\"). False (and `out` empty) when it cannot be read.
bool FsGetCurrentFolder(ovCString& out);

// Creates the folder and every missing folder above it. Separators may be
// '\' or '/'; the root ("C:\", "/", "\\server\share\") is never created.
// True when the folder exists afterwards.
bool FsCreateFolders(const char* folder);

// --- Replacing installed files: the engine update unpacks into a staging
// folder and moves each file into place. Wide paths as for FsExistsWide.

// Clears the read-only attribute of an existing file (POSIX: gives its owner
// the write permission). True when the file is not read-only afterwards.
bool FsClearReadOnlyWide(const char16_t* path);

// Moves the file `from` to `to` on the same volume in one step, replacing a
// file of that name, a read-only one too (its attribute is cleared first).
// The moved file keeps its own attributes. False when `from` is missing, `to`
// is a folder, or the system refuses (a program that runs, on Windows).
bool FsReplaceFileWide(const char16_t* from, const char16_t* to);

// Deletes the folder and everything below it, read-only files included.
// Links and junctions inside are removed themselves, never followed. True
// when nothing is left at the path (also when there was nothing).
bool FsDeleteTreeWide(const char16_t* folder);
