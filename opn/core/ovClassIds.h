// Numeric class ids accepted by ovSmartPtr::CreateInstance, and interface ids
// for QueryInterface.
#pragma once

#include <stdint.h>

enum : uint32_t {
    OV_CLSID_SOCKET = 0x1005,             // cpCSocket
    OV_CLSID_TIMER = 0x1006,              // cpCTimer
    OV_CLSID_MUTEX = 0x1008,              // cpCMutex
    OV_CLSID_QOS_CONTEXT = 0x100A,        // cpCQoSContext (its ovIQoSContext face)
    OV_CLSID_AGENT_LAYER = 0x2003,        // nwCAgentLayer
    OV_CLSID_STREAM_DISPATCHER = 0x2006,  // nwCStreamDispatcher
    OV_CLSID_HTTP_DOWNLOADER = 0x2009,    // nwCHTTPDownloader
    OV_CLSID_HTTP_CLIENT_LAYER = 0x200F,  // nwCHttpClientExLayer
    OV_CLSID_CDN_LOCAL_LAYER = 0x2015,    // nwCCDNLocalClientLayer
    OV_CLSID_SECURE_LAYER = 0x2017,       // nwCSecureSocketClientLayer
};

enum : uint32_t {
    OV_IID_NETSTACK = 0x2016,  // nwIQoSNetStack face of every protocol layer
};
