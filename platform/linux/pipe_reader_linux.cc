#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "platform/pipe_reader.h"

namespace tamsel {
namespace {

constexpr std::size_t kBlock = 2u << 20;         // one huge page
constexpr std::size_t kSmallLimit = 256u << 10;  // kept in the string itself up to here
constexpr std::size_t kChunk = 64u << 10;

void adviseHugePages(void* start, std::size_t size) {
  auto begin = reinterpret_cast<std::uintptr_t>(start);
  std::uintptr_t first = (begin + kBlock - 1) & ~(kBlock - 1);
  std::uintptr_t last = (begin + size) & ~(kBlock - 1);
  if (last > first) {
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // a hint only
  }
}

struct FreeBlock {
  void operator()(char* p) const { std::free(p); }
};

// Bytes of one stream: a string for small outputs, then whole blocks.
class Collector {
 public:
  // Room for the next read.
  std::pair<char*, std::size_t> space() {
    if (head_.size() < kSmallLimit) return {small_, sizeof small_};
    if (blocks_.empty() || fill_ == kBlock) addBlock();
    return {blocks_.back().get() + fill_, kBlock - fill_};
  }

  // n bytes were read into the room space() gave.
  void commit(const char* at, std::size_t n) {
    if (at == small_) {
      head_.append(small_, n);
    } else {
      fill_ += n;
      blockBytes_ += n;
    }
  }

  std::string take() {
    if (blocks_.empty()) return std::move(head_);
    std::string out;
    out.reserve(head_.size() + blockBytes_);
    adviseHugePages(out.data(), out.capacity());
    out.append(head_);
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
      out.append(blocks_[i].get(), i + 1 == blocks_.size() ? fill_ : kBlock);
      blocks_[i].reset();
    }
    return out;
  }

 private:
  void addBlock() {
    auto* block = static_cast<char*>(std::aligned_alloc(kBlock, kBlock));
    if (block == nullptr) throw std::bad_alloc();  // as a growing string would
    adviseHugePages(block, kBlock);
    blocks_.emplace_back(block);
    fill_ = 0;
  }

  char small_[kChunk];
  std::string head_;
  std::vector<std::unique_ptr<char, FreeBlock>> blocks_;
  std::size_t fill_ = 0;
  std::size_t blockBytes_ = 0;
};

// One read into c: false at end of stream or on an error other than EINTR.
bool readOnce(int fd, Collector& c) {
  for (;;) {
    auto [at, room] = c.space();
    ssize_t n = ::read(fd, at, room);
    if (n > 0) {
      c.commit(at, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace

std::string readToEnd(const UniqueFd& fd) {
  auto c = std::make_unique<Collector>();
  while (readOnce(fd.get(), *c)) {
  }
  return c->take();
}

void readBothToEnd(const UniqueFd& outFd, const UniqueFd& errFd, std::string& out,
                   std::string& err) {
  auto collectors = std::make_unique<Collector[]>(2);
  pollfd fds[2] = {{outFd.get(), POLLIN, 0}, {errFd.get(), POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      if (!readOnce(fds[i].fd, collectors[i])) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  out = collectors[0].take();
  err = collectors[1].take();
}

}  // namespace tamsel
