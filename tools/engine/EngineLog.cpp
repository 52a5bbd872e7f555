#include "tools/engine/EngineLog.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

void EngineLog(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fprintf(stderr, "ldDownload: %s\n", line);
    const char* path = getenv("SF_ENGINE_LOG");
    if (!path || !path[0])
        return;
    if (FILE* file = fopen(path, "ab")) {
        fprintf(file, "ldDownload: %s\n", line);
        fclose(file);
    }
}
