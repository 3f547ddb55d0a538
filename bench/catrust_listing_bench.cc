// Reading a keychain listing of 1,000 certificates (10 of them the local CA's) into records
// with existingCertsFromPEM, against the bare cost any reading must pay for the same
// certificates in the same run: base64 decoding, d2i_X509 and SHA-256 of each. Prints
// "<name>_ratio <records CPU time / bare CPU time>".
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "catrust/certificate_model.h"

namespace model = tamsel::CASystemKeychainReconciler;

namespace {

constexpr int kCertificates = 1000;
constexpr int kLocalCAs = 10;

std::string gListing;                    // the listing as the keychain tool prints it
std::vector<std::string> gBase64Bodies;  // each block's body, line breaks included

std::string base64Lines(const std::string& der) {
  std::string flat(4 * ((der.size() + 2) / 3) + 1, '\0');
  flat.resize(static_cast<std::size_t>(EVP_EncodeBlock(
      reinterpret_cast<unsigned char*>(flat.data()),
      reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size()))));
  std::string out;
  for (std::size_t i = 0; i < flat.size(); i += 64) out += flat.substr(i, 64) + "\n";
  return out;
}

// Self-signed RSA-2048 certificates, most of them named like the roots of a system store.
void makeListing() {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  for (int i = 0; i < kCertificates; ++i) {
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), i + 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * 3650);
    X509_NAME* name = X509_get_subject_name(cert.get());
    const std::string cn = i % (kCertificates / kLocalCAs) == 0
                               ? std::string(model::localCACommonName)
                               : "Example Root CA " + std::to_string(i);
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("US"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Example Trust Services"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key);
    X509_sign(cert.get(), key, EVP_sha256());
    unsigned char* der = nullptr;
    const int size = i2d_X509(cert.get(), &der);
    const std::string body = base64Lines(std::string(reinterpret_cast<char*>(der), size));
    OPENSSL_free(der);
    gBase64Bodies.push_back(body);
    gListing += "-----BEGIN CERTIFICATE-----\n" + body + "-----END CERTIFICATE-----\n";
  }
  EVP_PKEY_free(key);
}

// The bare path: decode each body, parse it, hash it; nothing kept.
void bareDecodeParseHash(std::vector<unsigned char>& der) {
  for (const std::string& body : gBase64Bodies) {
    EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
    EVP_DecodeInit(ctx);
    int n = 0, tail = 0;
    EVP_DecodeUpdate(ctx, der.data(), &n, reinterpret_cast<const unsigned char*>(body.data()),
                     static_cast<int>(body.size()));
    EVP_DecodeFinal(ctx, der.data() + n, &tail);
    EVP_ENCODE_CTX_free(ctx);
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, n + tail);
    unsigned char digest[32];
    EVP_Digest(der.data(), static_cast<std::size_t>(n + tail), digest, nullptr, EVP_sha256(),
               nullptr);
    benchmark::DoNotOptimize(digest);
    X509_free(cert);
  }
}

double gRatio = 0;

// Both paths in every iteration, one after the other, so load that changes during the run
// weighs on both alike; CPU time, which is steadier than wall time on a shared machine.
void BM_ListingIntoRecordsVsBare(benchmark::State& state) {
  std::vector<unsigned char> der(8192);
  double bare = 0, records = 0;
  for (auto _ : state) {
    const std::clock_t t0 = std::clock();
    bareDecodeParseHash(der);
    const std::clock_t t1 = std::clock();
    const auto found = model::existingCertsFromPEM(gListing);
    const std::clock_t t2 = std::clock();
    if (found.size() != kLocalCAs) {
      state.SkipWithError("wrong number of records");
      return;
    }
    bare += static_cast<double>(t1 - t0);
    records += static_cast<double>(t2 - t1);
  }
  const double perIteration = 1000.0 / CLOCKS_PER_SEC / static_cast<double>(state.iterations());
  state.counters["bare_ms"] = bare * perIteration;
  state.counters["records_ms"] = records * perIteration;
  gRatio = records / bare;
}

BENCHMARK(BM_ListingIntoRecordsVsBare)->Unit(benchmark::kMillisecond)->Iterations(30);

}  // namespace

int main(int argc, char** argv) {
  makeListing();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (gRatio > 0) {
    std::printf("catrust_existing_certs_from_pem_1000_vs_bare_decode_parse_sha256_ratio %.3f\n",
                gRatio);
  }
  return 0;
}
