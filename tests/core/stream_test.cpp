#include "kestrune/core/stream.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using kestrune::TextStream;

TextStream counting(int* started, int count) {
    ++*started;
    for (int i = 0; i < count; ++i) {
        co_yield std::to_string(i);
    }
}

TextStream failing_after(std::string first) {
    co_yield first;
    co_yield "";
    throw std::runtime_error("broken stream");
}

// Flags its destruction, standing in for an open connection the stream holds.
struct Resource {
    explicit Resource(bool* released) : released_(released) {}
    ~Resource() { *released_ = true; }
    bool* released_;
};

TextStream holding(bool* released) {
    Resource resource(released);
    co_yield "a";
    co_yield "b";
}

TEST(TextStream, IsLazyAndYieldsInOrderInRangeFor) {
    int started = 0;
    TextStream stream = counting(&started, 3);
    EXPECT_EQ(started, 0) << "nothing may run before the first pull";
    std::vector<std::string> pieces;
    for (const auto& piece : stream) {
        pieces.push_back(piece);
    }
    EXPECT_EQ(started, 1);
    EXPECT_EQ(pieces, (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_FALSE(stream.next().has_value()) << "an ended stream stays ended";
}

TEST(TextStream, FailureArrivesAfterDeliveredPiecesAndSkipsEmptyOnes) {
    TextStream stream = failing_after("first");
    EXPECT_EQ(stream.next(), "first");
    EXPECT_THROW(stream.next(), std::runtime_error);
    EXPECT_FALSE(stream.next().has_value());
}

TEST(TextStream, DroppingOrMovingReleasesWhatTheBodyHolds) {
    bool released = false;
    {
        TextStream stream = holding(&released);
        EXPECT_EQ(stream.next(), "a");
        TextStream moved = std::move(stream);
        EXPECT_FALSE(released);
        EXPECT_EQ(moved.next(), "b");
    }
    EXPECT_TRUE(released);

    bool replaced = false;
    TextStream target = holding(&replaced);
    target.next();
    target = TextStream{};
    EXPECT_TRUE(replaced) << "assigning over a stream releases the old one";
}

TEST(TextStream, CollectJoinsTheRest) {
    int started = 0;
    TextStream stream = counting(&started, 4);
    stream.next();
    EXPECT_EQ(stream.collect(), "123");
}

}  // namespace
