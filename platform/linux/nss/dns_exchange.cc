#include "platform/linux/nss/dns_exchange.h"

#include <poll.h>
#include <resolv.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "platform/unique_fd.h"

namespace tamsel::nss {
namespace {

constexpr int kMaxQuestions = 2;
constexpr int kMaxCnameLinks = 8;

struct Question {
  unsigned char packet[NS_PACKETSZ];
  int length = 0;
  std::uint16_t type = 0;
  enum class State {
    kPending,
    kAddresses,
    kNoSuchName,
    kNoAddresses,
    kFailed
  } state = State::kPending;
};

std::int64_t nowMs() noexcept {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// A recursive query for name's records of type, under id.
int composeQuery(unsigned char* packet, const char* name, std::uint16_t type,
                 std::uint16_t id) noexcept {
  std::memset(packet, 0, NS_HFIXEDSZ);
  ns_put16(id, packet);
  packet[2] = 0x01;  // RD
  packet[5] = 1;     // QDCOUNT
  int nameLength = dn_comp(name, packet + NS_HFIXEDSZ, NS_PACKETSZ - NS_HFIXEDSZ - NS_QFIXEDSZ,
                           nullptr, nullptr);
  if (nameLength < 0) return -1;
  unsigned char* end = packet + NS_HFIXEDSZ + nameLength;
  ns_put16(type, end);
  ns_put16(ns_c_in, end + 2);
  return NS_HFIXEDSZ + nameLength + NS_QFIXEDSZ;
}

bool sendPending(int fd, Question* questions, int count) noexcept {
  mmsghdr messages[kMaxQuestions] = {};
  iovec parts[kMaxQuestions];
  unsigned pending = 0;
  for (int i = 0; i < count; ++i) {
    if (questions[i].state != Question::State::kPending) continue;
    parts[pending] = {questions[i].packet, static_cast<std::size_t>(questions[i].length)};
    messages[pending].msg_hdr.msg_iov = &parts[pending];
    messages[pending].msg_hdr.msg_iovlen = 1;
    ++pending;
  }
  for (unsigned sent = 0; sent < pending;) {
    int n = ::sendmmsg(fd, messages + sent, pending - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<unsigned>(n);
  }
  return true;
}

bool addAddress(HostAnswer& answer, std::uint16_t type, const ns_rr& record) noexcept {
  if (type == ns_t_a && ns_rr_rdlen(record) == sizeof(in_addr) &&
      answer.v4Count < kMaxAddressesPerFamily) {
    std::memcpy(&answer.v4[answer.v4Count++], ns_rr_rdata(record), sizeof(in_addr));
    return true;
  }
  if (type == ns_t_aaaa && ns_rr_rdlen(record) == sizeof(in6_addr) &&
      answer.v6Count < kMaxAddressesPerFamily) {
    std::memcpy(&answer.v6[answer.v6Count++], ns_rr_rdata(record), sizeof(in6_addr));
    return true;
  }
  return false;
}

// Reads the addresses that reply, an answer to question about name, gives.
Question::State readReply(const unsigned char* reply, int length, const char* name,
                          std::uint16_t type, HostAnswer& answer) noexcept {
  ns_msg message;
  if (ns_initparse(reply, length, &message) != 0) return Question::State::kFailed;
  int code = ns_msg_getflag(message, ns_f_rcode);
  if (code == ns_r_nxdomain) return Question::State::kNoSuchName;
  if (code != ns_r_noerror) return Question::State::kFailed;

  char owner[NS_MAXDNAME];
  std::strcpy(owner, name);
  int found = 0;
  int links = 0;
  for (int i = 0; i < ns_msg_count(message, ns_s_an); ++i) {
    ns_rr record;
    if (ns_parserr(&message, ns_s_an, i, &record) != 0) break;
    if (ns_rr_class(record) != ns_c_in || ::strcasecmp(ns_rr_name(record), owner) != 0) continue;
    if (ns_rr_type(record) == ns_t_cname) {
      char target[NS_MAXDNAME];
      if (++links > kMaxCnameLinks ||
          dn_expand(ns_msg_base(message), ns_msg_end(message), ns_rr_rdata(record), target,
                    sizeof target) < 0 ||
          !isValidHostName(target)) {
        break;
      }
      std::strcpy(owner, target);
    } else if (ns_rr_type(record) == type && addAddress(answer, type, record)) {
      std::int32_t ttl =
          static_cast<std::int32_t>(std::min<std::uint32_t>(ns_rr_ttl(record), INT32_MAX));
      answer.ttl = answer.v4Count + answer.v6Count == 1 ? ttl : std::min(answer.ttl, ttl);
      ++found;
    }
  }
  if (found == 0) return Question::State::kNoAddresses;
  if (answer.canonicalName[0] == '\0') std::strcpy(answer.canonicalName, owner);
  return Question::State::kAddresses;
}

// Whether reply repeats query's one question (the name in any letter case).
bool sameQuestion(const Question& query, const unsigned char* reply, int length) noexcept {
  if (length < query.length || reply[4] != 0 || reply[5] != 1) return false;
  for (int i = NS_HFIXEDSZ; i < query.length; ++i) {
    // Label lengths (at most 63), types and classes have no byte in 'A'..'Z'.
    if (std::tolower(reply[i]) != std::tolower(query.packet[i])) return false;
  }
  return true;
}

// The question reply answers (a response to a query with its id and question), or null.
Question* questionAnswered(const unsigned char* reply, int length, Question* questions,
                           int count) noexcept {
  if (length < NS_HFIXEDSZ || (reply[2] & 0x80) == 0 || (reply[2] & 0x78) != 0) return nullptr;
  for (int i = 0; i < count; ++i) {
    Question& question = questions[i];
    if (question.state == Question::State::kPending &&
        std::memcmp(reply, question.packet, 2) == 0 && sameQuestion(question, reply, length)) {
      return &question;
    }
  }
  return nullptr;
}

HostAnswer::Outcome outcomeOf(const Question* questions, int count,
                              const HostAnswer& answer) noexcept {
  if (answer.v4Count + answer.v6Count > 0) return HostAnswer::Outcome::kAddresses;
  bool noSuchName = false;
  for (int i = 0; i < count; ++i) {
    switch (questions[i].state) {
      case Question::State::kNoSuchName:
        noSuchName = true;
        break;
      case Question::State::kNoAddresses:
        break;
      default:
        return HostAnswer::Outcome::kNoAnswer;
    }
  }
  return noSuchName ? HostAnswer::Outcome::kNoSuchName : HostAnswer::Outcome::kNoAddresses;
}

void randomIds(std::uint16_t (&ids)[kMaxQuestions]) noexcept {
  if (::getrandom(ids, sizeof ids, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof ids)) {
    timespec now;  // only before the kernel's pool is ready
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    ids[0] = static_cast<std::uint16_t>(now.tv_nsec);
    ids[1] = static_cast<std::uint16_t>(now.tv_nsec >> 16);
  }
  if (ids[1] == ids[0]) ids[1] ^= 1;
}

}  // namespace

bool isValidHostName(const char* name) noexcept {
  std::size_t length = std::strlen(name);
  if (length == 0 || length > 253) return false;
  std::size_t labelLength = 0;
  for (std::size_t i = 0; i <= length; ++i) {
    char c = name[i];
    if (c == '.' || c == '\0') {
      if (labelLength == 0 || labelLength > 63) return false;
      labelLength = 0;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_') {
      ++labelLength;
    } else {
      return false;
    }
  }
  return true;
}

HostAnswer askNameServer(const Route& route, const char* name, Family family) noexcept {
  HostAnswer answer;
  Question questions[kMaxQuestions];
  std::uint16_t ids[kMaxQuestions];
  randomIds(ids);
  int count = 0;
  for (std::uint16_t type : {std::uint16_t{ns_t_a}, std::uint16_t{ns_t_aaaa}}) {
    if ((type == ns_t_a && family == Family::kIPv6) ||
        (type == ns_t_aaaa && family == Family::kIPv4)) {
      continue;
    }
    Question& question = questions[count];
    question.type = type;
    question.length = composeQuery(question.packet, name, type, ids[count]);
    if (question.length < 0) return answer;
    ++count;
  }

  UniqueFd fd(::socket(route.server.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd ||
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&route.server), route.length) != 0 ||
      !sendPending(fd.get(), questions, count)) {
    return answer;
  }
  std::int64_t start = nowMs();
  bool resent = false;
  int pending = count;
  while (pending > 0) {
    std::int64_t elapsed = nowMs() - start;
    if (elapsed >= kDeadlineMs) break;
    if (!resent && elapsed >= kResendAfterMs) {
      resent = true;
      if (!sendPending(fd.get(), questions, count)) break;
    }
    pollfd readable{fd.get(), POLLIN, 0};
    int ready =
        ::poll(&readable, 1, static_cast<int>((resent ? kDeadlineMs : kResendAfterMs) - elapsed));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    // Every reply waiting, in one call.
    unsigned char replies[kMaxQuestions][1232];
    iovec parts[kMaxQuestions];
    mmsghdr messages[kMaxQuestions] = {};
    for (int i = 0; i < kMaxQuestions; ++i) {
      parts[i] = {replies[i], sizeof replies[i]};
      messages[i].msg_hdr.msg_iov = &parts[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int received = ::recvmmsg(fd.get(), messages, kMaxQuestions, MSG_DONTWAIT, nullptr);
    if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (received < 0) break;  // e.g. refused: nobody listens there
    for (int i = 0; i < received; ++i) {
      int length = static_cast<int>(messages[i].msg_len);
      Question* question = questionAnswered(replies[i], length, questions, count);
      if (question == nullptr) continue;
      question->state = readReply(replies[i], length, name, question->type, answer);
      --pending;
    }
  }
  answer.outcome = outcomeOf(questions, count, answer);
  return answer;
}

}  // namespace tamsel::nss
