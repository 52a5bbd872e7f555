// 32-bit result of every network-library operation.
//
//   bit 31      failure
//   bit 30      success
//   bits 29-20  module   (0 core, 2 platform, 3 network, 6 utilities)
//   bits 19-16  category (platform: 1 bad handle, 2 socket error)
//   bits 15-0   detail
//
// Test success with OV_SUCCEEDED (bit 30) and failure with OV_FAILED (sign).
#pragma once

#include <stdint.h>

typedef uint32_t ResultCode;

#define OV_SUCCEEDED(code) (((code)&0x40000000u) != 0)
#define OV_FAILED(code) ((int32_t)(code) < 0)

// Socket errors are recognised by category and detail only.
#define OV_LOW20(code) ((code)&0x000FFFFFu)

enum : ResultCode {
    OV_S_OK = 0x40000000u,
    OV_E_NOINTERFACE = 0x80010001u,

    OV_S_PLATFORM = 0x40200000u,
    OV_E_PLATFORM = 0x80200000u,
    OV_E_SOCKET_RECORD = 0x80210002u,
    OV_E_NOT_SOCKET = 0x80220004u,
    OV_E_CONN_REFUSED = 0x80220005u,
    OV_E_ALREADY = 0x80220006u,
    OV_E_SOCKET_EXISTS = 0x80220007u,
    OV_E_NO_BUFFERS = 0x80220008u,
    OV_E_IN_PROGRESS = 0x80220009u,
    OV_E_WOULD_BLOCK = 0x8022000Au,

    OV_S_NETWORK = 0x40300000u,
    OV_E_NETWORK = 0x80300000u,

    OV_S_UTILITY = 0x40600000u,
    OV_E_UTILITY = 0x80600000u,
};

// The low 20 bits that mark "operation would block".
#define OV_WOULD_BLOCK_LOW20 0x2000Au
