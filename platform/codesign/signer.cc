// Appending a signature to a file, atomically.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "platform/codesign/code_signing_tools.h"
#include "platform/codesign/file_reading.h"
#include "platform/codesign/pem_loading.h"
#include "platform/codesign/signature_checks.h"
#include "platform/unique_fd.h"

namespace tamsel::codesign {
namespace {

constexpr std::size_t kCopyChunk = std::size_t{256} * 1024;

struct OpenSslFree {
  void operator()(unsigned char* p) const { OPENSSL_free(p); }
};

bool writeFully(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The temporary file beside the output, removed unless it was renamed into place.
class StagingFile {
 public:
  ~StagingFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  Status create(const std::filesystem::path& output) {
    std::filesystem::path dir = output.parent_path();
    if (dir.empty()) dir = ".";
    std::string name = (dir / ("." + output.filename().string() + ".signing.XXXXXX")).string();
    fd_.reset(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd_)
      return Error::fromErrno(errno, "cannot create a temporary file beside " + output.string());
    path_ = std::move(name);
    return Status::success();
  }
  int fd() const { return fd_.get(); }
  Status commit(const std::string& output) {
    if (::rename(path_.c_str(), output.c_str()) != 0) {
      return Error::fromErrno(errno, "cannot rename the signed file to " + output);
    }
    path_.clear();
    return Status::success();
  }

 private:
  UniqueFd fd_;
  std::string path_;
};

std::string opensslError(std::string_view what) {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return std::string(what) + ": " + (reason != nullptr ? reason : "unknown OpenSSL error");
}

// The bytes of input that the new signature covers: all of it, or what precedes a signature it
// already carries.
Result<std::uint64_t> unsignedLength(int fd, std::uint64_t size, const std::string& input) {
  if (size < kTrailerSize) return size;
  std::array<std::uint8_t, kTrailerSize> tail{};
  if (!preadFully(fd, tail.data(), tail.size(), size - kTrailerSize)) {
    return Error::fromErrno(errno == 0 ? EIO : errno, "cannot read " + input);
  }
  const TrailerLayout layout = parseTrailer(tail, size);
  switch (layout.state) {
    case TrailerState::kAbsent:
      return size;
    case TrailerState::kPresent:
      return layout.contentLength;
    case TrailerState::kMalformed:
      break;
  }
  return Error{EINVAL, input + " ends with a damaged signature; refusing to sign over it"};
}

// The SignedData with its one signer, ready to take the content.
Result<CmsPtr> prepareSignedData(const SigningIdentity& identity) {
  auto key = loadPrivateKey(identity.privateKeyPath);
  if (!key) return key.error();
  auto leaf = loadCertificates(identity.certificatePath);
  if (!leaf) return leaf.error();
  X509* cert = sk_X509_value(leaf->get(), 0);
  if (X509_check_private_key(cert, key->get()) != 1) {
    ERR_clear_error();
    return Error{EINVAL,
                 identity.privateKeyPath + " is not the key of " + identity.certificatePath};
  }
  CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_DETACHED | CMS_BINARY | CMS_PARTIAL));
  if (!cms) return Error{EINVAL, opensslError("cannot create the signature")};
  if (!identity.chainPath.empty()) {
    auto chain = loadCertificates(identity.chainPath);
    if (!chain) return chain.error();
    for (int i = 0; i < sk_X509_num(chain->get()); ++i) {
      if (CMS_add1_cert(cms.get(), sk_X509_value(chain->get(), i)) != 1) {
        return Error{EINVAL, opensslError("cannot add " + identity.chainPath)};
      }
    }
  }
  CMS_SignerInfo* si =
      CMS_add1_signer(cms.get(), cert, key->get(), EVP_sha256(), CMS_BINARY | CMS_NOSMIMECAP);
  if (si == nullptr) return Error{EINVAL, opensslError("cannot add the signer")};
  if (identity.identifier) {
    const std::string& id = *identity.identifier;
    if (CMS_signed_add1_attr_by_OBJ(si, const_cast<ASN1_OBJECT*>(identifierAttributeObject()),
                                    V_ASN1_UTF8STRING, id.data(),
                                    static_cast<int>(id.size())) != 1) {
      return Error{EINVAL, opensslError("cannot add the identifier")};
    }
  }
  return cms;
}

}  // namespace

Status signFile(std::string_view input, std::string_view output, const SigningIdentity& identity) {
  const std::string in(input);
  const std::string out(output.empty() ? input : output);
  auto cms = prepareSignedData(identity);
  if (!cms) return cms.error();

  UniqueFd source(::open(in.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!source) return Error::fromErrno(errno, "cannot open " + in);
  struct stat st {};
  if (::fstat(source.get(), &st) != 0) return Error::fromErrno(errno, "cannot stat " + in);
  if (!S_ISREG(st.st_mode)) return Error{EINVAL, in + " is not a regular file"};
  mode_t mode = st.st_mode & 07777;
  struct stat existing {};
  if (::stat(out.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
  errno = 0;
  auto length = unsignedLength(source.get(), static_cast<std::uint64_t>(st.st_size), in);
  if (!length) return length.error();

  StagingFile staging;
  if (Status s = staging.create(out); !s) return s;
  BioPtr digestSink(CMS_dataInit(cms->get(), nullptr));
  if (!digestSink) return Error{EINVAL, opensslError("cannot start the signature")};
  std::unique_ptr<unsigned char[]> chunk(new unsigned char[kCopyChunk]);
  for (std::uint64_t offset = 0; offset < *length;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, *length - offset));
    errno = 0;
    if (!preadFully(source.get(), chunk.get(), n, offset)) {
      return Error::fromErrno(errno == 0 ? EIO : errno, "cannot read " + in);
    }
    if (!writeFully(staging.fd(), chunk.get(), n)) {
      return Error::fromErrno(errno, "cannot write the signed copy of " + in);
    }
    if (BIO_write(digestSink.get(), chunk.get(), static_cast<int>(n)) != static_cast<int>(n)) {
      return Error{EIO, opensslError("cannot digest " + in)};
    }
    offset += n;
  }
  if (CMS_dataFinal(cms->get(), digestSink.get()) != 1) {
    return Error{EINVAL, opensslError("cannot sign " + in)};
  }
  unsigned char* der = nullptr;
  const int derLength = i2d_CMS_ContentInfo(cms->get(), &der);
  if (derLength <= 0) return Error{EINVAL, opensslError("cannot encode the signature")};
  std::unique_ptr<unsigned char, OpenSslFree> derOwner(der);
  if (static_cast<std::uint32_t>(derLength) > kMaxCmsLength) {
    return Error{EFBIG, "the signature is larger than a verifier accepts (too many certificates?)"};
  }
  const auto trailer = encodeTrailer(static_cast<std::uint32_t>(derLength));
  if (!writeFully(staging.fd(), der, static_cast<std::size_t>(derLength)) ||
      !writeFully(staging.fd(), trailer.data(), trailer.size())) {
    return Error::fromErrno(errno, "cannot write the signed copy of " + in);
  }
  if (::fchmod(staging.fd(), mode) != 0) return Error::fromErrno(errno, "cannot set the mode");
  if (::fsync(staging.fd()) != 0) return Error::fromErrno(errno, "cannot flush the signed copy");
  return staging.commit(out);
}

}  // namespace tamsel::codesign
