// Feeds arbitrary bytes to both sides' frame assemblers. Whatever decodes must encode again to
// the very same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "platform/ipc/wire_format.h"

using namespace tamsel::ipc;
using namespace tamsel::ipc::wire;

namespace {

std::string reencode(const Frame& frame) {
  std::string out;
  std::vector<int> fds;
  if (const auto* req = std::get_if<Request>(&frame)) {
    if (!appendRequest(out, *req, fds)) std::abort();
  } else if (const auto* rep = std::get_if<Reply>(&frame)) {
    if (!appendReply(out, rep->id, rep->values, fds)) std::abort();
  } else if (const auto* err = std::get_if<ErrorFrame>(&frame)) {
    appendError(out, err->id, err->reason);
  } else if (std::holds_alternative<Introduce>(frame)) {
    appendIntroduce(out);
  } else {
    appendHello(out);
  }
  return out;
}

void run(const char* data, std::size_t size, Side side, std::size_t split) {
  FrameAssembler assembler(side);
  FdQueue fds;
  // No descriptors ever arrive here: a frame that claims one must be refused.
  assembler.append({data, split});
  assembler.append({data + split, size - split});
  std::size_t offset = 0;
  for (;;) {
    auto frame = assembler.next(fds);
    if (!frame || !*frame) return;
    const std::string again = reencode(**frame);
    if (again.size() > size - offset ||
        again.compare(0, again.size(), data + offset, again.size()) != 0) {
      // Hello frames are canonical only in their version; everything else must match exactly.
      if (!std::holds_alternative<Hello>(**frame)) std::abort();
    }
    offset += again.size();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const char*>(data);
  const std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
  run(bytes, size, Side::kDaemon, split);
  run(bytes, size, Side::kClient, split);
  return 0;
}
