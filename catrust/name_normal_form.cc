#include "catrust/name_normal_form.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tamsel::CASystemKeychainReconciler {
namespace {

bool isTextType(int type) {
  switch (type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_T61STRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_NUMERICSTRING:
      return true;
    default:
      return false;
  }
}

std::optional<std::string> utf8Of(const ASN1_STRING* value) {
  unsigned char* text = nullptr;
  const int size = ASN1_STRING_to_UTF8(&text, value);
  if (size < 0) return std::nullopt;
  std::string out(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
  OPENSSL_free(text);
  return out;
}

bool isAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Trimmed, every inner run of white space made one space, A-Z made a-z.
std::string folded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool pendingSpace = false;
  for (const char c : text) {
    if (isAsciiSpace(c)) {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out.push_back(' ');
    pendingSpace = false;
    out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return out;
}

void appendLength(std::string& out, std::size_t n) {
  const auto v = static_cast<std::uint32_t>(n);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

void appendField(std::string& out, std::string_view bytes) {
  appendLength(out, bytes.size());
  out.append(bytes);
}

std::optional<std::string> normalizedAttribute(const X509_NAME_ENTRY* entry) {
  std::string out;
  const ASN1_OBJECT* oid = X509_NAME_ENTRY_get_object(entry);
  appendField(out,
              std::string_view(reinterpret_cast<const char*>(OBJ_get0_data(oid)), OBJ_length(oid)));
  const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
  const int type = ASN1_STRING_type(value);
  if (isTextType(type)) {
    const auto text = utf8Of(value);
    if (!text) return std::nullopt;
    out.push_back('t');
    appendField(out, folded(*text));
  } else {
    out.push_back('b');
    appendLength(out, static_cast<std::size_t>(type));
    appendField(out, std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                                      static_cast<std::size_t>(ASN1_STRING_length(value))));
  }
  return out;
}

void appendRdn(std::string& out, std::vector<std::string>& attributes) {
  std::sort(attributes.begin(), attributes.end());
  out.push_back('R');
  appendLength(out, attributes.size());
  for (const std::string& a : attributes) out += a;
  attributes.clear();
}

}  // namespace

std::optional<std::string> normalizedName(const X509_NAME* name) {
  std::string out;
  std::vector<std::string> rdn;
  int currentSet = -1;
  const int count = X509_NAME_entry_count(name);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const int set = X509_NAME_ENTRY_set(entry);
    if (set != currentSet && !rdn.empty()) appendRdn(out, rdn);
    currentSet = set;
    auto attribute = normalizedAttribute(entry);
    if (!attribute) return std::nullopt;
    rdn.push_back(std::move(*attribute));
  }
  if (!rdn.empty()) appendRdn(out, rdn);
  return out;
}

std::optional<std::string> commonNameOf(const X509_NAME* name) {
  int last = -1;
  for (int i = -1; (i = X509_NAME_get_index_by_NID(name, NID_commonName, i)) >= 0;) last = i;
  if (last < 0) return std::nullopt;
  return utf8Of(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, last)));
}

}  // namespace tamsel::CASystemKeychainReconciler
