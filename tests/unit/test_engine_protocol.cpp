// The local engine protocol without sockets: the codec's payloads, and the
// engine layer fed received bytes by hand (whole, split at every byte
// boundary, one byte at a time, and malformed).
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwCCDNLocalClientLayer.h"
#include "opn/opeerqos/nwEngineMessages.h"
#include "opn/opeerqos/nwFrame.h"
#include "opn/opeerqos/ovICDNLocalClientLayer.h"
#include "support/EngineProbe.h"
#include "support/TestPeers.h"

using engineprobe::EntryReport;
using engineprobe::Fixed;
using engineprobe::Probe;
using engineprobe::ProgressBlock;
using engineprobe::Tail;
using engineprobe::U32;
using engineprobe::U64;
using engineprobe::Z;
using testpeers::BuildFrame;

namespace {

const uint32_t kKey = 0xE61;

std::string Report(uint16_t message, const std::string& payload) {
    return BuildFrame(kFrameCategoryEngine, message, payload);
}

// One report of every kind, and the calls they make.
struct Sample {
    std::string frame;
    std::string call;
};

std::vector<Sample> EveryReport() {
    const std::string longPath(260, 'p');  // fills its field, no terminator
    return {
        {Report(4, U32(7) + U32(3) + U32(2) + U64(5000000000ull)), "accepted 7 3 2 5000000000"},
        {Report(11, U32(7) + U32(9) + Z("") + Tail(0x10)), "failed 7 9 '' tail 10..1f"},
        {Report(11, U32(8) + U32(1) + Z("disk gone") + Tail(0x40)),
         "failed 8 1 'disk gone' tail 40..4f"},
        {Report(5, ProgressBlock(7, 3, 12, 1, 1000, 400, 250, 99, 0)),
         "progress 7 3 c12 i1 400/1000 250 t99 n0"},
        {Report(5, ProgressBlock(7, 3, 13, 0, 1000, 500, 300, 100, 2) +
                       EntryReport("a.pak", 600, 300, 200, "http://h/a.pak") +
                       EntryReport("b.pak", 400, 200, 100, "")),
         "progress 7 3 c13 i0 500/1000 300 t100 n2 [a.pak 300/600 200 'http://h/a.pak'] "
         "[b.pak 200/400 100 '']"},
        {Report(7, U32(7) + U32(3) + std::string(33, 'x') + Fixed("C:\\G\\a.pak", 260) +
                       Z("http://h/a.pak")),
         "done 7 3 'C:\\G\\a.pak' 'http://h/a.pak'"},
        {Report(7, U32(7) + U32(3) + std::string(33, 'x') + longPath + Z("u")),
         "done 7 3 '" + longPath + "' 'u'"},
        {Report(15, U32(7) + U32(3) + std::string(33, 'y') + Fixed("C:\\G\\b.tmp", 260) +
                        Fixed("C:\\G\\b.pak", 260) + Z("http://h/b.pak")),
         "done-as 7 3 'C:\\G\\b.tmp' 'C:\\G\\b.pak' 'http://h/b.pak'"},
        {Report(6, U32(7) + U32(3) + U32(0xAAAA) + U32(2) + U32(0)), "finished 7 3 43690 2 0"},
        {Report(6, U32(7) + U32(3) + U32(0) + U32(0) + U32(1)), "finished 7 3 0 0 1"},
        {Report(8, U32(7) + U32(3) + std::string(1, '\1') + Z("D:") + Tail(0)), "disk 7 3 1 'D:'"},
        {Report(9, Tail(1)), "network-lost"},
        {Report(10, Tail(2)), "network-back"},
        {Report(16, U32(7)), "resume? 7"},
        {Report(22, U32(3)), "state 3"},
    };
}

class EngineLayerFeed : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(holder.CreateInstance(OV_CLSID_CDN_LOCAL_LAYER));
        void* out = nullptr;
        ASSERT_EQ(OV_S_NETWORK, holder.Get()->QueryInterface(OV_IID_NETSTACK, &out));
        stack = static_cast<nwIQoSNetStack*>(out);
        layer = static_cast<nwCCDNLocalClientLayer*>(stack);
        ASSERT_EQ(OV_S_NETWORK, layer->PublicFace()->SetEventListener(&probe, kKey));
    }

    // Delivers `pieces` the way a context does: what the layer leaves
    // unconsumed is offered again in front of the next piece. Returns false
    // once the layer fails.
    bool Feed(const std::vector<std::string>& pieces) {
        for (const std::string& piece : pieces) {
            pending += piece;
            const int32_t used = stack->OnData(reinterpret_cast<const uint8_t*>(pending.data()),
                                               (int32_t)pending.size());
            if (used < 0)
                return false;
            pending.erase(0, (size_t)used);
        }
        return true;
    }

    ovSmartPtr holder;
    nwIQoSNetStack* stack = nullptr;
    nwCCDNLocalClientLayer* layer = nullptr;
    Probe probe;
    std::string pending;
};

}  // namespace

TEST(EngineCodec, JobSizeDecidesBetweenOneMessageAndPieces) {
    const std::string url(500, 'u');
    std::vector<ovEngineJobEntry> entries(300, ovEngineJobEntry{1, 2, 100, "f", "n", url.c_str()});
    ovEngineJob job = {7, "big", 300, entries.data()};
    EXPECT_EQ(41 + 300 * 1031, nwEngineJobSize(&job));
    EXPECT_GT(nwEngineJobSize(&job), (int32_t)kEngineWholeJobLimit);
    job.entryCount = 126;  // 41 + 126 x 1031 = 129947: still one message
    EXPECT_LE(nwEngineJobSize(&job), (int32_t)kEngineWholeJobLimit);
    job.entryCount = 127;
    EXPECT_GT(nwEngineJobSize(&job), (int32_t)kEngineWholeJobLimit);

    job.entryCount = -1;
    EXPECT_EQ(-1, nwEngineJobSize(&job));
    job.entryCount = 1;
    job.entries = nullptr;
    EXPECT_EQ(-1, nwEngineJobSize(&job));
    EXPECT_EQ(-1, nwEngineJobSize(nullptr));

    // Message 20 carries the URL length in 16 bits: longer URLs are refused
    // instead of going out with a wrapped length.
    const std::string longest(0xFFFF, 'u'), tooLong(0x10000, 'u');
    ovEngineJobEntry entry = {1, 2, -1, "f", "n", longest.c_str()};
    EXPECT_EQ(540 + 0xFFFF, nwEngineJobEntrySize(&entry));
    entry.url = tooLong.c_str();
    EXPECT_EQ(-1, nwEngineJobEntrySize(&entry));
}

TEST(EngineCodec, FixedTextsAreCutToKeepTheirTerminator) {
    uint8_t field[8];
    memset(field, 0x77, sizeof(field));
    nwEngineWriteText(field, 8, "abcdefghij");
    EXPECT_EQ(0, memcmp(field, "abcdefg\0", 8));
    nwEngineWriteText(field, 8, nullptr);
    EXPECT_EQ(0, memcmp(field, "\0\0\0\0\0\0\0\0", 8));
    nwEngineWriteText(field, 8, "ab");
    EXPECT_EQ(0, memcmp(field, "ab\0\0\0\0\0\0", 8));
}

TEST(EngineCodec, EveryReportDecodesAndEveryOtherMessageIsUnknown) {
    for (const Sample& sample : EveryReport()) {
        const nwFrameHeader header =
            nwReadFrameHeader(reinterpret_cast<const uint8_t*>(sample.frame.data()));
        nwEngineReport report;
        EXPECT_EQ(kEngineDecodeOk,
                  nwEngineDecode(header.message,
                                 reinterpret_cast<const uint8_t*>(sample.frame.data()) + 14,
                                 (int32_t)header.payloadLength, &report))
            << sample.call;
        nwEngineFreeReport(&report);
    }
    const uint16_t requests[] = {0, 1, 2, 3, 12, 13, 14, 17, 18, 19, 20, 21, 23, 0xFFFF};
    const uint8_t payload[64] = {0};
    for (uint16_t message : requests) {
        nwEngineReport report;
        EXPECT_EQ(kEngineDecodeUnknown, nwEngineDecode(message, payload, 64, &report)) << message;
    }
}

TEST_F(EngineLayerFeed, EveryReportWholeSplitAtEveryByteAndByteByByte) {
    std::string stream;
    std::vector<std::string> expected;
    for (const Sample& sample : EveryReport()) {
        stream += sample.frame;
        expected.push_back(sample.call);
    }
    ASSERT_TRUE(Feed({stream}));
    EXPECT_EQ(expected, probe.calls);
    EXPECT_TRUE(pending.empty());

    // Every split point of every single message, then of the whole stream.
    for (const Sample& sample : EveryReport()) {
        for (size_t cut = 0; cut <= sample.frame.size(); ++cut) {
            probe.calls.clear();
            ASSERT_TRUE(Feed({sample.frame.substr(0, cut), sample.frame.substr(cut)}));
            ASSERT_EQ(std::vector<std::string>{sample.call}, probe.calls) << "cut " << cut;
            ASSERT_TRUE(pending.empty());
        }
    }
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        probe.calls.clear();
        ASSERT_TRUE(Feed({stream.substr(0, cut), stream.substr(cut)}));
        ASSERT_EQ(expected, probe.calls) << "cut " << cut;
    }
    probe.calls.clear();
    std::vector<std::string> bytes;
    for (char c : stream)
        bytes.push_back(std::string(1, c));
    ASSERT_TRUE(Feed(bytes));
    EXPECT_EQ(expected, probe.calls);
    for (uint32_t key : probe.keys)
        EXPECT_EQ(kKey, key);
    EXPECT_FALSE(layer->SawMalformedMessage());
}

TEST_F(EngineLayerFeed, NoListenerNoCalls) {
    ASSERT_EQ(OV_S_NETWORK, layer->PublicFace()->SetEventListener(nullptr, 0));
    for (const Sample& sample : EveryReport())
        ASSERT_TRUE(Feed({sample.frame}));
    EXPECT_TRUE(probe.calls.empty());
}

// Each malformed report fails OnData at once; the report after it in the
// same delivery is not passed on.
TEST(EngineLayerMalformed, EachClosesTheConnectionAndDeliversNothing) {
    struct Case {
        const char* what;
        std::string frame;
    };
    const std::string url = "http://h/a";
    const Case cases[] = {
        {"accepted shorter than its fields", Report(4, U32(7) + U32(3))},
        {"failed text without terminator", Report(11, U32(7) + U32(3) + "ab")},
        {"failed without its 16-byte tail", Report(11, U32(7) + U32(3) + Z("a") + "12345678")},
        {"progress shorter than its block", Report(5, std::string(50, '\1'))},
        {"progress count no payload can hold",
         Report(5, ProgressBlock(7, 3, 0, 0, 1, 1, 1, 1, 0xFFFFFFFFu) + std::string(2, '\0'))},
        {"progress count above its reports",
         Report(5, ProgressBlock(7, 3, 0, 0, 1, 1, 1, 1, 2) + EntryReport("a", 1, 1, 1, "t") +
                       std::string(71, 'z'))},
        {"progress report text without terminator",
         Report(5, ProgressBlock(7, 3, 0, 0, 1, 1, 1, 1, 1) +
                       EntryReport("a", 1, 1, 1, "").substr(0, 65) + std::string(9, 't'))},
        {"file done cut inside its path", Report(7, U32(7) + U32(3) + std::string(33, 'x') + "C:")},
        {"file done url without terminator",
         Report(7, U32(7) + U32(3) + std::string(33, 'x') + Fixed("p", 260) + std::string(5, 'u'))},
        {"file done as without its second path",
         Report(15, U32(7) + U32(3) + std::string(33, 'x') + Fixed("p", 260) + Z(url))},
        {"finished short", Report(6, U32(7) + U32(3) + U32(0) + U32(0))},
        {"disk report without tail", Report(8, U32(7) + U32(3) + std::string(1, '\1') + Z("D:"))},
        {"network lost short", Report(9, std::string(10, '\1'))},
        {"resume question empty", Report(16, "")},
        {"state empty", Report(22, "")},
        {"unknown message", Report(99, U32(1))},
        {"request kind from the engine", Report(kEngineMsgCancel, U32(1) + U32(2))},
        {"report in the job category", BuildFrame(kFrameCategoryEngineEvent, 4, U32(1))},
        // Refused from its header: its bytes are not waited for.
        {"report larger than a report may be",
         Report(5, "").substr(0, 10) + U32(kEngineMaxReportPayload + 2) + std::string(2, '\0')},
    };
    const std::string after = Report(22, U32(5));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0u, c.frame.size() % 8);
        ovSmartPtr holder;
        ASSERT_TRUE(holder.CreateInstance(OV_CLSID_CDN_LOCAL_LAYER));
        void* out = nullptr;
        ASSERT_EQ(OV_S_NETWORK, holder.Get()->QueryInterface(OV_IID_NETSTACK, &out));
        nwIQoSNetStack* stack = static_cast<nwIQoSNetStack*>(out);
        Probe probe;
        static_cast<nwCCDNLocalClientLayer*>(stack)->SetEventListener(&probe, kKey);
        const std::string bytes = c.frame + after;
        EXPECT_LT(
            stack->OnData(reinterpret_cast<const uint8_t*>(bytes.data()), (int32_t)bytes.size()),
            0);
        EXPECT_TRUE(probe.calls.empty());
        // Closed: the context tells the layer, the listener hears it once.
        stack->OnClosed();
        EXPECT_EQ(std::vector<std::string>{"closed"}, probe.calls);
    }
}

// The owner may let go of the layer from inside a report (the engine
// downloader does so when the engine gives up): the layer finishes the
// delivery without touching freed memory.
TEST(EngineLayerLifetime, ListenerDropsTheLayerInsideAReport) {
    struct Dropper : Probe {
        ovSmartPtr* holder = nullptr;
        void OnEngineState(uint32_t key, uint32_t state) override {
            Probe::OnEngineState(key, state);
            holder->Reset();
        }
    };
    for (int malformedAfter = 0; malformedAfter < 2; ++malformedAfter) {
        ovSmartPtr holder;
        ASSERT_TRUE(holder.CreateInstance(OV_CLSID_CDN_LOCAL_LAYER));
        void* out = nullptr;
        ASSERT_EQ(OV_S_NETWORK, holder.Get()->QueryInterface(OV_IID_NETSTACK, &out));
        nwIQoSNetStack* stack = static_cast<nwIQoSNetStack*>(out);
        Dropper probe;
        probe.holder = &holder;
        static_cast<nwCCDNLocalClientLayer*>(stack)->SetEventListener(&probe, kKey);
        const std::string bytes =
            Report(22, U32(4)) + (malformedAfter ? Report(16, "") : Report(16, U32(1)));
        const int32_t used =
            stack->OnData(reinterpret_cast<const uint8_t*>(bytes.data()), (int32_t)bytes.size());
        EXPECT_TRUE(holder.IsEmpty());
        if (malformedAfter)
            EXPECT_LT(used, 0);
        else
            EXPECT_EQ((int32_t)bytes.size(), used);
        EXPECT_EQ(malformedAfter ? (std::vector<std::string>{"state 4"})
                                 : (std::vector<std::string>{"state 4", "resume? 1"}),
                  probe.calls);
    }
}
