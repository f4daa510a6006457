#include "base/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tessarune {
namespace {

using namespace std::chrono_literals;

// Every value arrives once, in order, before the end; the producer never runs more than the
// capacity ahead of the consumer.
TEST(Channel, CarriesEveryValueInOrderThenTheEndWithinItsBound) {
    for (const size_t capacity : {size_t{1}, size_t{3}}) {
        auto channel = std::make_shared<Channel<int>>(capacity);
        std::atomic<int> sent{0};
        std::thread producer([&] {
            for (int i = 0; i < 2000; ++i) {
                ASSERT_TRUE(channel->send(i));
                sent.store(i + 1);
            }
            channel->close();
        });
        int value = -1;
        for (int i = 0; i < 2000; ++i) {
            ASSERT_EQ(channel->receive(value), Received::Value);
            ASSERT_EQ(value, i);
            // Taken: i + 1; queued: at most capacity.
            ASSERT_LE(sent.load(), i + 1 + static_cast<int>(capacity));
        }
        EXPECT_EQ(channel->receive(value), Received::Closed);
        EXPECT_EQ(channel->receive(value), Received::Closed);
        producer.join();
        EXPECT_EQ(channel->internal_error(), nullptr);
    }
}

// The consumer closing wakes a producer that waits for room, at any point.
TEST(Channel, TheConsumerClosingWakesAWaitingProducer) {
    for (int taken = 0; taken < 4; ++taken) {
        auto channel = std::make_shared<Channel<std::vector<int>>>(1);
        std::thread producer([channel] {
            while (channel->send(std::vector<int>(1000, 7))) {}
        });
        std::vector<int> value;
        for (int i = 0; i < taken; ++i) ASSERT_EQ(channel->receive(value), Received::Value);
        channel->close_and_discard();
        producer.join();  // hangs if the producer was left waiting for room
        EXPECT_FALSE(channel->try_send({1}));
    }
}

// What stopped the producer reaches the consumer after the values sent before it.
TEST(Channel, TheProducersInternalErrorFollowsItsValues) {
    auto channel = std::make_shared<Channel<int>>(4);
    std::thread producer([channel] {
        try {
            ASSERT_TRUE(channel->send(1));
            throw std::logic_error("broken");
        } catch (...) {
            channel->close(std::current_exception());
        }
    });
    int value = 0;
    ASSERT_EQ(channel->receive(value), Received::Value);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(channel->receive(value), Received::Closed);
    producer.join();
    ASSERT_NE(channel->internal_error(), nullptr);
    try {
        std::rethrow_exception(channel->internal_error());
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "broken");
    }
}

// A timed wait gives up after its slice while nothing comes, and the non-blocking calls
// respect the bound.
TEST(Channel, TimedAndNonBlockingCallsNeverWaitPastTheirLimit) {
    Channel<int> channel(1);
    int value = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(channel.receive_for(value, 20ms), Received::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    EXPECT_EQ(channel.try_receive(value), Received::TimedOut);
    EXPECT_TRUE(channel.try_send(5));
    EXPECT_FALSE(channel.try_send(6));  // full
    EXPECT_EQ(channel.receive_for(value, 20ms), Received::Value);
    EXPECT_EQ(value, 5);
    channel.close();
    EXPECT_EQ(channel.receive_for(value, 20ms), Received::Closed);
}

}  // namespace
}  // namespace tessarune
