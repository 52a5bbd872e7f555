// Where the local download engine lives.
//
// The engine program "ldDownload.exe" sits in a fixed folder below the user's
// application-data folder:
//   <app data>\Ludra\ldDownloader\ldDownload.exe
// When the application-data folder cannot be obtained, the folder of the
// running program takes its place. The rest of the library places its own
// files (the service log, the engine archives) through the same provider.
#pragma once

#include "opn/core/ovCString.h"

// Path provider; every operation replaces `out`.
class IGetPath {
  public:
    virtual ~IGetPath() {}
    // The base folder, ending in '\'.
    virtual void GetBaseFolder(ovCString& out) = 0;
    // The engine's folder, ending in '\'.
    virtual void GetProgramFolder(ovCString& out) = 0;
    // The engine executable's full path.
    virtual void GetProgramPath(ovCString& out) = 0;
};

class CGetPath_Ludra : public IGetPath {
  public:
    // "<app data>\Ludra\", or "<program folder>\Ludra\" without app data.
    void GetBaseFolder(ovCString& out) override;
    // GetBaseFolder + "ldDownloader\".
    void GetProgramFolder(ovCString& out) override;
    // GetProgramFolder + "ldDownload.exe".
    void GetProgramPath(ovCString& out) override;
};

// The process-wide path provider.
IGetPath& GetPathProvider();

// The global provider's GetProgramPath.
void GetEnginePath(ovCString& out);

// The global provider's GetProgramFolder.
void GetEngineFolder(ovCString& out);
