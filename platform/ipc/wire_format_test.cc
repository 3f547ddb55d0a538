#include "platform/ipc/wire_format.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/testing/raw_peer.h"

namespace tamsel::ipc::wire {
namespace {

using testing::values;

std::string encode(const Request& r) {
  std::string out;
  std::vector<int> fds;
  EXPECT_TRUE(appendRequest(out, r, fds).ok());
  return out;
}

std::string encodeReply(const std::vector<Value>& v, std::vector<int>& fds) {
  std::string out;
  EXPECT_TRUE(appendReply(out, 9, v, fds).ok());
  return out;
}

// bytes with the length header rewritten to cover the rest, as if it were one whole frame.
Result<Frame> decodeAsWhole(std::string bytes, Side side, FdQueue& fds) {
  const auto body = static_cast<std::uint32_t>(bytes.size() - kHeaderBytes);
  for (std::size_t i = 0; i < kHeaderBytes; ++i) bytes[i] = static_cast<char>(body >> (8 * i));
  auto size = frameSize(bytes, maxBody(side));
  if (!size) return size.error();
  EXPECT_EQ(*size, bytes.size());
  return decodeBody(std::span<const char>(bytes).subspan(kHeaderBytes), side, fds);
}

const Request kSample{
    0x0102030405060708ULL, "installResolverWithTld:listenAddress:port:reply:",
    values(StringValue{"test"}, StringValue{}, StringValue{""}, std::int64_t{-70000},
           std::uint16_t{65535}, std::int32_t{-2}, true, FdValue{})};

// Decoded and encoded again, every value comes back the same bytes: kind, width, null or empty.
TEST(WireFormat, RequestRoundTripKeepsEveryKindAndWidth) {
  const std::string bytes = encode(kSample);
  FdQueue fds;
  auto frame = decodeAsWhole(bytes, Side::kDaemon, fds);
  ASSERT_TRUE(frame.ok()) << frame.error().description;
  EXPECT_EQ(encode(std::get<Request>(*frame)), bytes);
  EXPECT_EQ(std::get<Request>(*frame).args.size(), 8u);
  EXPECT_NE(encode(Request{1, "x:", values(StringValue{})}),
            encode(Request{1, "x:", values(StringValue{""})}));
}

TEST(WireFormat, ReplyCarriesDescriptorsInFrameOrder) {
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
  UniqueFd r(p[0]), w(p[1]);
  std::vector<int> sent;
  const auto v = values(FdValue{std::move(w)}, StringValue{"x"}, FdValue{}, FdValue{std::move(r)});
  const std::string bytes = encodeReply(v, sent);
  ASSERT_EQ(sent.size(), 2u);
  // The receiving side gets the descriptors separately and binds them in order.
  FdQueue queue;
  for (int fd : sent) queue.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  auto frame = decodeAsWhole(bytes, Side::kClient, queue);
  ASSERT_TRUE(frame.ok()) << frame.error().description;
  const auto& reply = std::get<Reply>(*frame);
  EXPECT_EQ(::fcntl(std::get<FdValue>(reply.values[0]).fd.get(), F_GETFL) & O_ACCMODE, O_WRONLY);
  EXPECT_FALSE(std::get<FdValue>(reply.values[2]).fd.valid());
  EXPECT_EQ(::fcntl(std::get<FdValue>(reply.values[3]).fd.get(), F_GETFL) & O_ACCMODE, O_RDONLY);
  EXPECT_TRUE(queue.empty());
  // A frame that claims a descriptor that never came is malformed.
  FdQueue none;
  EXPECT_FALSE(decodeAsWhole(bytes, Side::kClient, none).ok());
}

TEST(WireFormat, EveryTruncationIsIncompleteOrRefusedAndAnySplitJoins) {
  const std::string bytes = encode(kSample);
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    FrameAssembler a(Side::kDaemon);
    a.append({bytes.data(), n});
    FdQueue fds;
    auto frame = a.next(fds);
    ASSERT_TRUE(frame.ok()) << n;
    EXPECT_FALSE(frame->has_value()) << n;
    // The same prefix presented as a whole frame must be refused.
    if (n > kHeaderBytes) {
      EXPECT_FALSE(decodeAsWhole(bytes.substr(0, n), Side::kDaemon, fds).ok()) << n;
    }
  }
  // Three frames, one byte at a time.
  FrameAssembler a(Side::kDaemon);
  FdQueue fds;
  std::vector<std::uint64_t> seen;
  for (std::uint64_t id = 1; id <= 3; ++id) {
    for (char c : encode(Request{id, "pingWithReply:", {}})) {
      a.append({&c, 1});
      auto f = a.next(fds);
      ASSERT_TRUE(f.ok());
      if (f->has_value()) seen.push_back(std::get<Request>(**f).id);
    }
  }
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_TRUE(a.empty());
}

TEST(WireFormat, OversizedFramesAreRefusedBeforeTheirBody) {
  FrameAssembler daemon(Side::kDaemon);
  daemon.append(std::string{'\xff', '\xff', '\xff', '\x7f'});
  FdQueue fds;
  EXPECT_FALSE(daemon.next(fds).ok());  // no need to wait for 2 GiB to arrive
  std::string justOver(kHeaderBytes, '\0');
  const std::uint32_t over = kMaxRequestBody + 1;
  for (std::size_t i = 0; i < kHeaderBytes; ++i) justOver[i] = static_cast<char>(over >> (8 * i));
  EXPECT_FALSE(frameSize(justOver, kMaxRequestBody).ok());
  EXPECT_TRUE(frameSize(justOver, kMaxReplyBody).ok());
  EXPECT_FALSE(frameSize(std::string(kHeaderBytes, '\0'), kMaxReplyBody).ok());  // empty body

  // The encoder refuses to build what the other side would refuse, and leaves out untouched.
  std::string out = "prefix";
  std::vector<int> fdsOut;
  const Request big{7,
                    "fetchHelperLogsSinceISO:reply:", values(StringValue{std::string(over, 'a')})};
  EXPECT_FALSE(appendRequest(out, big, fdsOut).ok());
  std::vector<Value> many;
  for (std::size_t i = 0; i <= kMaxValues; ++i) many.emplace_back(true);
  EXPECT_FALSE(appendReply(out, 1, many, fdsOut).ok());
  EXPECT_EQ(out, "prefix");
}

TEST(WireFormat, WrongTypesAndShapesAreRefused) {
  const std::string good = encode(Request{9, "pingWithReply:", values(true)});
  // Layout: header(4) type(1) id(8) selLen(2) selector(14) count(1) tag(1) flag(1).
  constexpr std::size_t kType = 4, kSelector = 4 + 1 + 8 + 2, kCount = kSelector + 14;
  FdQueue fds;
  ASSERT_TRUE(decodeAsWhole(good, Side::kDaemon, fds).ok());
  for (auto [at, v] : {std::pair<std::size_t, char>{kCount + 1, 9},  // unknown value tag
                       {kCount + 2, 2},                              // bool neither 0 nor 1
                       {kCount, 2},                                  // says two values, has one
                       {kCount, kMaxValues + 1},
                       {kType, 0x33},  // unknown frame type
                       {kSelector, ' '},
                       {kSelector, '\x01'}}) {
    std::string b = good;
    b[at] = v;
    EXPECT_FALSE(decodeAsWhole(b, Side::kDaemon, fds).ok()) << at << " " << int(v);
  }
  EXPECT_FALSE(decodeAsWhole(good + "z", Side::kDaemon, fds).ok());  // trailing bytes

  // Which frames each side takes: the daemon requests and introductions, a client the rest.
  std::string intro, hello, reply;
  appendIntroduce(intro);
  EXPECT_EQ(intro, kIntroduceFrame);
  appendHello(hello);
  std::vector<int> none;
  reply = encodeReply(values(true), none);
  for (const auto& [bytes, daemonTakes] :
       {std::pair{good, true}, {intro, true}, {hello, false}, {reply, false}}) {
    EXPECT_EQ(decodeAsWhole(bytes, Side::kDaemon, fds).ok(), daemonTakes);
    EXPECT_EQ(decodeAsWhole(bytes, Side::kClient, fds).ok(), !daemonTakes);
  }
  // A descriptor offered to the daemon has nothing to bind to: the daemon keeps none.
  const std::string withFd =
      encode(Request{9, "pingWithReply:", values(FdValue{UniqueFd(dup(0))})});
  EXPECT_FALSE(decodeAsWhole(withFd, Side::kDaemon, fds).ok());
}

TEST(WireFormat, DaemonTakesOnlyStringsABodyCanHoldWhole) {
  for (const std::string& bad :
       {std::string("a\0b", 3), std::string("\xc3"), std::string("\xc0\xaf"),
        std::string("\xed\xa0\x80"), std::string("\xf4\x90\x80\x80")}) {
    FdQueue fds;
    EXPECT_FALSE(
        decodeAsWhole(encode(Request{1, "removeResolverWithTld:reply:", values(StringValue{bad})}),
                      Side::kDaemon, fds)
            .ok());
    // A reply may carry any bytes (tool output): the client takes them unchanged.
    std::vector<int> none;
    auto frame = decodeAsWhole(encodeReply(values(StringValue{bad}), none), Side::kClient, fds);
    ASSERT_TRUE(frame.ok());
    EXPECT_EQ(std::get<StringValue>(std::get<Reply>(*frame).values[0]).text, bad);
  }
}

TEST(WireFormat, ErrorReasonIsCutToWholeCharacters) {
  std::string out;
  appendError(out, 5, std::string(kMaxReasonBytes - 1, 'r') + "\xc3\xa9");  // é would cross it
  FdQueue fds;
  auto frame = decodeAsWhole(out, Side::kClient, fds);
  ASSERT_TRUE(frame.ok()) << frame.error().description;
  EXPECT_EQ(std::get<ErrorFrame>(*frame).id, 5u);
  EXPECT_EQ(std::get<ErrorFrame>(*frame).reason, std::string(kMaxReasonBytes - 1, 'r'));
}

}  // namespace
}  // namespace tamsel::ipc::wire
