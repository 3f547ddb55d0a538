// The root CA in the System keychain: bringing the keychain in line with the application's CA
// file ("root-ca.crt" in a directory "caddy" in the connecting user's home), and removing it
// again. Both run "/usr/bin/security" as root (catrust/security_tool.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "host/connecting_user.h"
#include "platform/log/logger.h"
#include "platform/pinned_home.h"
#include "service/reply_shapes.h"

namespace tamsel {

// No CA certificate file is larger; a larger one cannot be read.
inline constexpr std::size_t kMaxRootCAFileBytes = std::size_t{256} << 10;

// The connecting user's home, pinned; absent when there is no connecting user, the user has no
// usable entry, or the home cannot be opened.
std::optional<PinnedHome> pinnedConnectingUserHome(const ConnectingPeer& peer);

// The root-CA path rule: the standardised path when it lies in home (pathUnderHome), its last
// component is exactly "root-ca.crt" and its parent's is exactly "caddy"; with mustExist,
// something that is not a directory must also stand there, looked up beneath the pinned home
// (links followed only while they stay beneath it; a failed lookup counts as nothing there).
std::optional<std::string> resolveRootCAPath(std::string_view path, const PinnedHome& home,
                                             bool mustExist);

// Operation body: deletes every self-signed "Tamsel Local CA" of the System keychain whose
// SHA-256 differs from the file's certificate, then adds the file's certificate unless it is
// there. The file is read beneath the pinned home, bounded and without blocking; the addition,
// which names the file, runs confined to the home. A failed deletion is logged and skipped.
StatusReply reconcileSystemCACertificate(const log::Logger& logger, const ConnectingPeer& peer,
                                         const std::string& certPath);

// Operation body: clears the administrator trust setting of the file's certificate (when
// something stands at the path; confined to the home), then deletes every "Tamsel Local CA" of
// the System keychain. Once the path is accepted every step is tried, failures are logged, and
// the reply is success.
StatusReply removeTrustedCACertificate(const log::Logger& logger, const ConnectingPeer& peer,
                                       const std::string& certPath);

}  // namespace tamsel
