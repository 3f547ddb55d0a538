#include "platform/ipc/wire_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tamsel::ipc::wire {
namespace {

template <typename... V>
std::vector<Value> vals(V&&... v) {
  std::vector<Value> out;
  (out.emplace_back(std::forward<V>(v)), ...);
  return out;
}

Request sampleRequest() {
  Request r;
  r.id = 0x0102030405060708ULL;
  r.selector = "installResolverWithTld:listenAddress:port:reply:";
  r.args.emplace_back(StringValue{"test"});
  r.args.emplace_back(StringValue{});  // null
  r.args.emplace_back(std::int64_t{-70000});
  r.args.emplace_back(std::uint16_t{65535});
  r.args.emplace_back(std::int32_t{-2});
  r.args.emplace_back(true);
  r.args.emplace_back(FdValue{});
  return r;
}

std::string encode(const Request& r) {
  std::string out;
  std::vector<int> fds;
  EXPECT_TRUE(appendRequest(out, r, fds).ok());
  return out;
}

Result<Frame> decodeWhole(const std::string& bytes, Side side, FdQueue& fds) {
  auto size = frameSize(bytes, maxBody(side));
  if (!size) return size.error();
  EXPECT_EQ(*size, bytes.size());
  return decodeBody(std::span<const char>(bytes).subspan(kHeaderBytes), side, fds);
}

// Rewrites the length header after a test has edited the body.
void fixHeader(std::string& frame) {
  const auto body = static_cast<std::uint32_t>(frame.size() - kHeaderBytes);
  for (std::size_t i = 0; i < kHeaderBytes; ++i) frame[i] = static_cast<char>(body >> (8 * i));
}

TEST(WireFormat, RequestRoundTripKeepsEveryKindAndWidth) {
  const Request in = sampleRequest();
  const std::string bytes = encode(in);
  FdQueue fds;
  auto frame = decodeWhole(bytes, Side::kDaemon, fds);
  ASSERT_TRUE(frame.ok()) << frame.error().description;
  const auto& out = std::get<Request>(*frame);
  EXPECT_EQ(out.id, in.id);
  EXPECT_EQ(out.selector, in.selector);
  ASSERT_EQ(out.args.size(), in.args.size());
  EXPECT_EQ(std::get<StringValue>(out.args[0]).text, "test");
  EXPECT_FALSE(std::get<StringValue>(out.args[1]).text.has_value());
  EXPECT_EQ(std::get<std::int64_t>(out.args[2]), -70000);
  EXPECT_EQ(std::get<std::uint16_t>(out.args[3]), 65535);
  EXPECT_EQ(std::get<std::int32_t>(out.args[4]), -2);
  EXPECT_TRUE(std::get<bool>(out.args[5]));
  EXPECT_FALSE(std::get<FdValue>(out.args[6]).fd.valid());
  // An empty string and the null string are different values.
  Request empty{1, "ping", {}};
  empty.args.emplace_back(StringValue{""});
  auto again = decodeWhole(encode(empty), Side::kDaemon, fds);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(std::get<StringValue>(std::get<Request>(*again).args[0]).text, "");
}

TEST(WireFormat, ReplyCarriesDescriptorsInFrameOrder) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  UniqueFd r(p[0]), w(p[1]);
  std::vector<Value> values;
  values.emplace_back(FdValue{UniqueFd(fcntl(w.get(), F_DUPFD_CLOEXEC, 0))});
  values.emplace_back(StringValue{"x"});
  values.emplace_back(FdValue{});
  values.emplace_back(FdValue{UniqueFd(fcntl(r.get(), F_DUPFD_CLOEXEC, 0))});
  std::string bytes;
  std::vector<int> fds;
  ASSERT_TRUE(appendReply(bytes, 42, values, fds).ok());
  ASSERT_EQ(fds.size(), 2u);
  EXPECT_EQ(fds[0], std::get<FdValue>(values[0]).fd.get());
  EXPECT_EQ(fds[1], std::get<FdValue>(values[3]).fd.get());

  // The receiving side gets the descriptors separately and binds them in order.
  FdQueue queue;
  for (int fd : fds) queue.emplace_back(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  auto frame = decodeWhole(bytes, Side::kClient, queue);
  ASSERT_TRUE(frame.ok()) << frame.error().description;
  auto& reply = std::get<Reply>(*frame);
  EXPECT_EQ(reply.id, 42u);
  struct stat a {
  }, b{};
  ASSERT_EQ(fstat(std::get<FdValue>(reply.values[0]).fd.get(), &a), 0);
  ASSERT_EQ(fstat(w.get(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_FALSE(std::get<FdValue>(reply.values[2]).fd.valid());
  EXPECT_TRUE(std::get<FdValue>(reply.values[3]).fd.valid());
  EXPECT_TRUE(queue.empty());

  // A frame that claims a descriptor that never came is malformed.
  FdQueue none;
  EXPECT_FALSE(decodeWhole(bytes, Side::kClient, none).ok());
}

TEST(WireFormat, EveryTruncationIsIncompleteOrRefused) {
  const std::string bytes = encode(sampleRequest());
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    FrameAssembler a(Side::kDaemon);
    a.append({bytes.data(), n});
    FdQueue fds;
    auto frame = a.next(fds);
    ASSERT_TRUE(frame.ok()) << n;
    EXPECT_FALSE(frame->has_value()) << n;
    // The same prefix presented as a whole frame (header rewritten) must be refused.
    if (n > kHeaderBytes) {
      std::string cut = bytes.substr(0, n);
      fixHeader(cut);
      EXPECT_FALSE(decodeWhole(cut, Side::kDaemon, fds).ok()) << n;
    }
  }
}

TEST(WireFormat, OversizedFramesAreRefusedBeforeTheirBody) {
  // The header alone decides: no need to wait for 4 GiB to arrive.
  std::string header = {'\xff', '\xff', '\xff', '\x7f'};
  FrameAssembler daemon(Side::kDaemon);
  daemon.append(header);
  FdQueue fds;
  EXPECT_FALSE(daemon.next(fds).ok());

  std::string justOver(kHeaderBytes, '\0');
  const std::uint32_t over = kMaxRequestBody + 1;
  for (std::size_t i = 0; i < kHeaderBytes; ++i) justOver[i] = static_cast<char>(over >> (8 * i));
  EXPECT_FALSE(frameSize(justOver, kMaxRequestBody).ok());
  EXPECT_TRUE(frameSize(justOver, kMaxReplyBody).ok());                          // fine for a reply
  EXPECT_FALSE(frameSize(std::string(kHeaderBytes, '\0'), kMaxReplyBody).ok());  // empty body

  // The encoder refuses to build what the other side would refuse, and leaves out untouched.
  Request big{7, "fetchHelperLogsSinceISO:reply:", {}};
  big.args.emplace_back(StringValue{std::string(kMaxRequestBody, 'a')});
  std::string out = "prefix";
  std::vector<int> fdsOut;
  EXPECT_FALSE(appendRequest(out, big, fdsOut).ok());
  EXPECT_EQ(out, "prefix");
  std::vector<Value> many;
  for (std::size_t i = 0; i <= kMaxValues; ++i) many.emplace_back(true);
  EXPECT_FALSE(appendReply(out, 1, many, fdsOut).ok());
  EXPECT_EQ(out, "prefix");
}

TEST(WireFormat, WrongTypesAndShapesAreRefused) {
  const std::string good = encode(Request{9, "pingWithReply:", vals(true)});
  // Layout: header(4) type(1) id(8) selLen(2) selector(14) count(1) tag(1) flag(1).
  const std::size_t countAt = 4 + 1 + 8 + 2 + 14;
  FdQueue fds;
  ASSERT_TRUE(decodeWhole(good, Side::kDaemon, fds).ok());

  auto mutated = [&](std::size_t at, char v) {
    std::string b = good;
    b[at] = v;
    return decodeWhole(b, Side::kDaemon, fds).ok();
  };
  EXPECT_FALSE(mutated(countAt + 1, 9));  // unknown value tag
  EXPECT_FALSE(mutated(countAt + 2, 2));  // bool neither 0 nor 1
  EXPECT_FALSE(mutated(countAt, 2));      // says two values, has one
  EXPECT_FALSE(mutated(countAt, kMaxValues + 1));
  EXPECT_FALSE(mutated(4, 0x33));             // unknown frame type
  EXPECT_FALSE(mutated(4 + 1 + 8 + 2, ' '));  // selector with a blank
  EXPECT_FALSE(mutated(4 + 1 + 8 + 2, '\x01'));

  std::string trailing = good + "z";
  fixHeader(trailing);
  EXPECT_FALSE(decodeWhole(trailing, Side::kDaemon, fds).ok());

  // An introduction is only ever for the daemon, and encodes to the fixed five bytes.
  std::string intro;
  appendIntroduce(intro);
  EXPECT_EQ(intro, kIntroduceFrame);
  auto introduced = decodeWhole(intro, Side::kDaemon, fds);
  ASSERT_TRUE(introduced.ok());
  EXPECT_TRUE(std::holds_alternative<Introduce>(*introduced));
  EXPECT_FALSE(decodeWhole(intro, Side::kClient, fds).ok());

  // The daemon takes requests; a client never takes a request.
  std::string hello;
  appendHello(hello);
  EXPECT_FALSE(decodeWhole(hello, Side::kDaemon, fds).ok());
  EXPECT_TRUE(decodeWhole(hello, Side::kClient, fds).ok());
  EXPECT_FALSE(decodeWhole(good, Side::kClient, fds).ok());
  std::string reply;
  std::vector<int> none;
  ASSERT_TRUE(appendReply(reply, 9, vals(true), none).ok());
  EXPECT_FALSE(decodeWhole(reply, Side::kDaemon, fds).ok());

  // A descriptor offered to the daemon has nothing to bind to: the daemon keeps none.
  EXPECT_FALSE(decodeWhole(encode(Request{9, "pingWithReply:", vals(FdValue{UniqueFd(dup(0))})}),
                           Side::kDaemon, fds)
                   .ok());
}

TEST(WireFormat, DaemonTakesOnlyStringsABodyCanHoldWhole) {
  for (const std::string& bad :
       {std::string("a\0b", 3), std::string("\xc3"), std::string("\xc0\xaf"),
        std::string("\xed\xa0\x80"), std::string("\xf4\x90\x80\x80")}) {
    Request r{1, "removeResolverWithTld:reply:", {}};
    r.args.emplace_back(StringValue{bad});
    const std::string bytes = encode(r);
    FdQueue fds;
    EXPECT_FALSE(decodeWhole(bytes, Side::kDaemon, fds).ok());
    // A reply may carry any bytes (tool output): the client takes them unchanged.
    std::string reply;
    std::vector<int> none;
    ASSERT_TRUE(appendReply(reply, 1, vals(StringValue{bad}), none).ok());
    auto frame = decodeWhole(reply, Side::kClient, fds);
    ASSERT_TRUE(frame.ok());
    EXPECT_EQ(std::get<StringValue>(std::get<Reply>(*frame).values[0]).text, bad);
  }
}

TEST(WireFormat, AssemblerSplitsAndJoinsFramesAnyWay) {
  std::string stream;
  for (std::uint64_t id = 1; id <= 3; ++id) stream += encode(Request{id, "pingWithReply:", {}});
  // All at once.
  {
    FrameAssembler a(Side::kDaemon);
    a.append(stream);
    FdQueue fds;
    for (std::uint64_t id = 1; id <= 3; ++id) {
      auto f = a.next(fds);
      ASSERT_TRUE(f.ok() && f->has_value());
      EXPECT_EQ(std::get<Request>(**f).id, id);
    }
    auto end = a.next(fds);
    ASSERT_TRUE(end.ok());
    EXPECT_FALSE(end->has_value());
    EXPECT_TRUE(a.empty());
  }
  // One byte at a time.
  {
    FrameAssembler a(Side::kDaemon);
    FdQueue fds;
    std::vector<std::uint64_t> seen;
    for (char c : stream) {
      a.append({&c, 1});
      auto f = a.next(fds);
      ASSERT_TRUE(f.ok());
      if (f->has_value()) seen.push_back(std::get<Request>(**f).id);
    }
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{1, 2, 3}));
  }
}

TEST(WireFormat, ErrorReasonIsCutToWholeCharacters) {
  std::string reason(kMaxReasonBytes - 1, 'r');
  reason += "\xc3\xa9";  // the second byte would fall beyond the limit
  std::string out;
  appendError(out, 5, reason);
  FdQueue fds;
  auto frame = decodeWhole(out, Side::kClient, fds);
  ASSERT_TRUE(frame.ok()) << frame.error().description;
  const auto& e = std::get<ErrorFrame>(*frame);
  EXPECT_EQ(e.id, 5u);
  EXPECT_EQ(e.reason, std::string(kMaxReasonBytes - 1, 'r'));
}

}  // namespace
}  // namespace tamsel::ipc::wire
