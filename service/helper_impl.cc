#include "service/helper_impl.h"

#include "platform/identity.h"
#include "service/helper_version.h"

namespace tamsel {

HelperImpl::HelperImpl() : HelperImpl(log::Logger(std::string(kHelperIdentifier), "helper")) {}

HelperImpl::HelperImpl(log::Logger logger) : logger_(std::move(logger)) {}

void HelperImpl::helperVersionWithReply(VersionReply reply) const {
  helperVersion(*this, InfoDictionary::ofMainExecutable(), std::move(reply));
}

void HelperImpl::pingWithReply(PingReply reply) const { ping(std::move(reply)); }

}  // namespace tamsel
