// Making an unpacked file startable as a program.
//
// Windows starts any file that is a program; nothing is needed. POSIX starts
// only files with an execute permission, which a file written by the
// library does not get (pfFileSystem.h creates files 0644): this adds the
// execute bit wherever the file has the read bit.
#pragma once

// True when the file exists and may now be started as a program.
bool PfMarkProgramFile(const char* path);
