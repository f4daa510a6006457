#include "sorter/chunk_channel.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace tessarune {
namespace {

using namespace std::chrono_literals;

ByteBuffer chunk_of(uint8_t value) {
    ByteBuffer chunk;
    chunk.push_back(value);
    return chunk;
}

// Takes every message until the sender is gone, in small slices as the calling thread does.
std::vector<ChunkMessage> drain(ChunkChannel& channel) {
    std::vector<ChunkMessage> got;
    for (;;) {
        std::optional<ChunkMessage> message;
        const ChunkChannel::Received r = channel.receive(1ms, &message);
        if (r == ChunkChannel::Received::SenderGone) return got;
        if (r == ChunkChannel::Received::Message) got.push_back(std::move(*message));
    }
}

TEST(ChunkChannel, EveryMessageArrivesInOrderBeforeTheSendersEnd) {
    ChunkChannel channel;
    std::thread sender([&] {
        for (int i = 0; i < 200; ++i) ASSERT_TRUE(channel.send(chunk_of(static_cast<uint8_t>(i))));
        channel.send(EngineError::message("last"));
        channel.finish_sending(nullptr);
    });
    std::vector<ChunkMessage> got = drain(channel);
    sender.join();
    ASSERT_EQ(got.size(), 201u);
    for (int i = 0; i < 200; ++i) {
        const ByteBuffer& chunk = std::get<ByteBuffer>(got[i]);
        ASSERT_EQ(chunk.size(), 1u);
        EXPECT_EQ(chunk[0], static_cast<uint8_t>(i));
    }
    EXPECT_EQ(std::get<EngineError>(got[200]).text(), "last");
    EXPECT_EQ(channel.panic(), nullptr);
}

TEST(ChunkChannel, ReceiverLettingGoWakesABlockedSender) {
    ChunkChannel channel;
    int sent = 0;
    std::thread sender([&] {
        while (channel.send(chunk_of(1))) ++sent;
        channel.finish_sending(nullptr);
    });
    std::optional<ChunkMessage> message;
    while (channel.receive(1ms, &message) != ChunkChannel::Received::Message) {}
    channel.finish_receiving();
    sender.join();  // hangs here if the sender was left waiting for room
    // One taken, at most two queued when the receiver left: the sender never ran further ahead.
    EXPECT_LE(sent, 1 + static_cast<int>(ChunkChannel::kBound));
}

TEST(ChunkChannel, TheSendersInternalErrorReachesTheReceiver) {
    ChunkChannel channel;
    std::thread sender([&] {
        channel.finish_sending(std::make_exception_ptr(std::logic_error("broken")));
    });
    EXPECT_TRUE(drain(channel).empty());
    sender.join();
    ASSERT_NE(channel.panic(), nullptr);
    EXPECT_THROW(std::rethrow_exception(channel.panic()), std::logic_error);
}

}  // namespace
}  // namespace tessarune
