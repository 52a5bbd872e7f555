// Framed messages shared by the local engine and the statistics agent.
//
// Layout, all fields little-endian:
//   0  2  category
//   2  2  message number
//   4  4  0
//   8  2  0
//  10  4  payload length L, padding included
//  14  L  payload, zero-padded
// The whole frame is a multiple of 8 bytes, so L is the real payload size
// rounded up until 14 + L divides by 8. Receivers only learn L and rely on
// fixed field sizes or zero-terminated texts inside the payload.
//
// Threads: functions without state: any thread, no lock.
#pragma once

#include <stdint.h>

enum : int32_t {
    kFrameHeaderSize = 14,
    kFrameAlignment = 8,
    // Largest payload a frame helper builds: keeps every size in int32_t.
    kFrameMaxPayload = 0x40000000,
};

enum : uint16_t {
    kFrameCategoryEngine = 256,       // local engine requests and answers
    kFrameCategoryEngineEvent = 258,  // local engine notifications
    kFrameCategoryAgent = 768,        // statistics agent
};

enum : uint16_t {
    kAgentMessageReport = 154,  // client to agent: a batch of job records
    kAgentMessageReply = 131,   // agent to client: its answer code
};

struct nwFrameHeader {
    uint16_t category;
    uint16_t message;
    uint32_t payloadLength;  // L, padding included
};

// L for a payload of `payloadSize` real bytes (0 <= payloadSize <=
// kFrameMaxPayload): 0 -> 2, 4 -> 10, 600 -> 602.
inline int32_t nwFramePaddedPayload(int32_t payloadSize) {
    const int32_t frame =
        (payloadSize + kFrameHeaderSize + kFrameAlignment - 1) & ~(kFrameAlignment - 1);
    return frame - kFrameHeaderSize;
}

// Whole frame size for `payloadSize` real bytes: 0 -> 16, 4 -> 24, 600 -> 616.
inline int32_t nwFrameSize(int32_t payloadSize) {
    return kFrameHeaderSize + nwFramePaddedPayload(payloadSize);
}

// Writes the 14 header bytes to `out`.
inline void nwWriteFrameHeader(uint8_t* out, uint16_t category, uint16_t message,
                               uint32_t payloadLength) {
    out[0] = (uint8_t)(category & 0xFF);
    out[1] = (uint8_t)(category >> 8);
    out[2] = (uint8_t)(message & 0xFF);
    out[3] = (uint8_t)(message >> 8);
    for (int32_t i = 4; i < 10; ++i)
        out[i] = 0;
    out[10] = (uint8_t)(payloadLength & 0xFF);
    out[11] = (uint8_t)((payloadLength >> 8) & 0xFF);
    out[12] = (uint8_t)((payloadLength >> 16) & 0xFF);
    out[13] = (uint8_t)(payloadLength >> 24);
}

// Reads the fields of the 14 header bytes at `in`.
inline nwFrameHeader nwReadFrameHeader(const uint8_t* in) {
    nwFrameHeader header;
    header.category = (uint16_t)(in[0] | (in[1] << 8));
    header.message = (uint16_t)(in[2] | (in[3] << 8));
    header.payloadLength = (uint32_t)in[10] | ((uint32_t)in[11] << 8) | ((uint32_t)in[12] << 16) |
                           ((uint32_t)in[13] << 24);
    return header;
}
