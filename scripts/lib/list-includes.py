#!/usr/bin/env python3
"""Print each include of the given C/C++ files as the compiler sees it.

Usage: list-includes.py FILE...   (paths relative to the repository root)

One line per include: "FILE LINE PATH". Spliced lines, comments, digraphs
and trigraphs are read the way the preprocessor reads them, so a comment
before the path or a line split does not hide an include. A quoted path
that names a tracked file next to the includer is printed from the
repository root (that is the file the compiler opens first). An include
that is not a plain "path" or <path> (a macro, #include_next, #import) is
printed with the path "!" so the caller refuses it.
"""
import os
import re
import sys

DIRECTIVE = re.compile(r'^\s*#\s*(include_next|include|import)\b(.*)$')
PLAIN = re.compile(r'^\s*("([^"\n]*)"|<([^>\n]*)>)\s*$')


def logical_lines(text):
    """Yield (first physical line number, logical line without comments)."""
    text = text.replace('??=', '#').replace('??/', '\\')
    out = []
    line = 1
    start = 1
    i = 0
    n = len(text)
    quote = None
    while i < n:
        c = text[i]
        if c == '\\' and i + 1 < n and text[i + 1] == '\n':
            i += 2
            line += 1
            continue
        if quote:
            out.append(c)
            if c == '\\' and i + 1 < n:
                out.append(text[i + 1])
                i += 2
                continue
            if c == quote or c == '\n':
                quote = None
        elif c in '"\'':
            quote = c
            out.append(c)
        elif text.startswith('/*', i):
            end = text.find('*/', i + 2)
            end = n if end < 0 else end + 2
            line += text.count('\n', i, end)
            out.append(' ')
            i = end
            continue
        elif text.startswith('//', i):
            while i < n and text[i] != '\n':
                if text[i] == '\\' and i + 1 < n and text[i + 1] == '\n':
                    line += 1
                    i += 1
                i += 1
            continue
        else:
            out.append(c)
        if c == '\n':
            yield start, ''.join(out[:-1])
            out = []
            line += 1
            start = line
        i += 1
    if out:
        yield start, ''.join(out)


def main(files):
    for name in files:
        try:
            with open(name, encoding='latin-1') as f:
                text = f.read()
        except OSError:
            continue
        here = os.path.dirname(name)
        for number, logical in logical_lines(text):
            logical = re.sub(r'^(\s*)%:', r'\1#', logical)
            m = DIRECTIVE.match(logical)
            if not m:
                continue
            plain = PLAIN.match(m.group(2)) if m.group(1) == 'include' else None
            if not plain:
                print(name, number, '!')
                continue
            path = plain.group(2) if plain.group(2) is not None else plain.group(3)
            if plain.group(2) is not None and here and '..' not in path.split('/'):
                beside = os.path.normpath(os.path.join(here, path))
                if os.path.isfile(beside):
                    path = beside
            print(name, number, path.replace(' ', '?') or '!')


if __name__ == '__main__':
    main(sys.argv[1:])
