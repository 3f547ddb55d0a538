// The keychain tool's commands. Each returns its failure as an Error whose description is the
// diagnostic; none prints anything itself.
#pragma once

#include <string>
#include <vector>

#include "platform/result.h"

namespace tamsel::security {

// Every certificate of the keychain as PEM, in the order they were added.
Result<std::string> findCertificates(const std::string& keychain);

// Deletes the certificates whose SHA-1 is sha1 (either case), with their trust settings.
// Fails when there is none.
Status deleteCertificate(const std::string& keychain, const std::string& sha1);

// Adds each file's certificate; fails, adding none, when one of them is there already.
Status addCertificates(const std::string& keychain, const std::vector<std::string>& files);

// Adds the file's certificate when it is absent and gives it an administrator trust setting.
Status addTrustedCertificate(const std::string& keychain, const std::string& file);

// Removes the administrator trust setting of the file's certificate; fails when it has none.
Status removeTrustedCertificate(const std::string& keychain, const std::string& file);

}  // namespace tamsel::security
