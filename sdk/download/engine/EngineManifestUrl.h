// Where the engine-update manifest is fetched from: the content host chosen
// at build time (CMake cache variable SF_CONTENT_URL) followed by
// "/ActiveX/update/KVX_updater.xml".
//
// Threads: a constant: any thread.
#pragma once

// The manifest URL the engine update starts with.
const char* EngineManifestUrl();

// For tests only: the URL EngineManifestUrl answers from now on (copied);
// null restores the compiled-in one.
void SetEngineManifestUrlForTesting(const char* url);
