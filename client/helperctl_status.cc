#include "client/helperctl_status.h"

#include <cerrno>

#include "client/helper_client.h"
#include "client/helperctl_output.h"
#include "platform/build_version.h"
#include "platform/file_facts.h"
#include "platform/identity.h"

namespace tamsel::client::helperctl {
namespace {

// Older than any entry: the export then starts at the oldest one.
constexpr std::string_view kEpoch = "1970-01-01T00:00:00.000Z";

std::string reasonFor(const Error& e) {
  switch (e.code) {
    case ENOENT:
      return e.description + " (the helper is not installed, or its socket job is stopped)";
    case ECONNREFUSED:
      return e.description + " (nothing listens on the socket)";
    default:
      return e.description;
  }
}

std::optional<std::string> firstTimestamp(std::string_view exportText) {
  const std::string_view line = exportText.substr(0, exportText.find('\n'));
  return lastTimestamp(line);
}

std::string startedText(const StatusFacts& f) {
  const std::string socketJob = std::string(kHelperIdentifier) + ".socket";
  if (f.jobsError) return "unknown: " + *f.jobsError;
  const ServiceJobs& j = f.jobsBefore;
  if (j.managed) {
    if (j.servicePid > 0) {
      std::string text = "by systemd through " + socketJob + " (" + j.socketState +
                         "); the service is " + j.serviceState + ", pid " +
                         std::to_string(j.servicePid);
      return j.serviceSince.empty() ? text : text + ", since " + j.serviceSince;
    }
    if (j.socketState.starts_with("active")) {
      return "by systemd on demand through " + socketJob + " (" + j.socketState +
             "); the service was " + j.serviceState + " before this check connected";
    }
    return socketJob + " is " + j.socketState + ": systemd starts the helper only while it listens";
  }
  if (f.socketCreator) {
    return "not by a service manager: pid " + std::to_string(f.socketCreator->pid) + " (" +
           f.socketCreator->name + ") made the socket";
  }
  return "not by a service manager";
}

std::string jsonOr(const std::optional<std::string>& s) {
  return s ? jsonString(*s) : "null";
}

}  // namespace

StatusFacts gatherStatus(const std::string& socketPath) {
  StatusFacts f;
  f.socketPath = socketPath;
  if (auto jobs = helperServiceJobs(kHelperIdentifier)) {
    f.jobsBefore = std::move(*jobs);
  } else {
    f.jobsError = jobs.error().description;
  }
  if (auto creator = unixSocketCreator(socketPath)) f.socketCreator = std::move(*creator);

  f.logStorePath = std::string(kLogStorePath);
  const FileFacts db = fileFacts(f.logStorePath);
  if (db.kind == FileFacts::Kind::kFile) {
    const FileFacts wal = fileFacts(f.logStorePath + "-wal");
    f.logStoreBytes = db.size + (wal.kind == FileFacts::Kind::kFile ? wal.size : 0);
  }

  auto helper = HelperClient::connect(socketPath);
  if (!helper) {
    f.unreachableReason = reasonFor(helper.error());
    return f;
  }
  auto pong = helper->ping();
  if (!pong || !pong->alive) {
    f.unreachableReason = pong ? "the helper answered ping with NO" : pong.error().description;
    return f;
  }
  f.reachable = true;
  if (auto v = helper->helperVersion()) f.version = v->version;
  if (auto logs = helper->fetchHelperLogsSinceISO(kEpoch); logs && logs->text) {
    f.oldestEntry = firstTimestamp(*logs->text);
  }
  return f;
}

std::string renderStatus(const StatusFacts& f, bool json) {
  const std::string started = startedText(f);
  if (json) {
    std::string out =
        std::string("{\"reachable\":") + (f.reachable ? "true" : "false") +
        ",\"reason\":" + (f.reachable ? std::string("null") : jsonString(f.unreachableReason)) +
        ",\"version\":" + jsonOr(f.version) + ",\"clientVersion\":" + jsonString(productVersion()) +
        ",\"socket\":" + jsonString(f.socketPath) + ",\"socketCreator\":";
    out += f.socketCreator ? "{\"pid\":" + std::to_string(f.socketCreator->pid) +
                                 ",\"name\":" + jsonString(f.socketCreator->name) + "}"
                           : "null";
    out += std::string(",\"serviceManager\":") + (f.jobsBefore.managed ? "true" : "false") +
           ",\"socketJob\":" + jsonString(f.jobsBefore.socketState) +
           ",\"serviceJobBefore\":" + jsonString(f.jobsBefore.serviceState) +
           ",\"started\":" + jsonString(started) +
           ",\"logStore\":{\"path\":" + jsonString(f.logStorePath) +
           ",\"bytes\":" + (f.logStoreBytes ? std::to_string(*f.logStoreBytes) : "null") +
           ",\"oldestEntry\":" + jsonOr(f.oldestEntry) + "}}\n";
    return out;
  }
  std::string out = "reachable:   ";
  out += f.reachable ? "yes" : "no: " + f.unreachableReason;
  out += "\nversion:     " + f.version.value_or("unknown") + " (tamsel-helperctl " +
         std::string(productVersion()) + ")";
  out += "\nsocket:      " + f.socketPath;
  out += "\nstarted:     " + started;
  out += "\nlog store:   " + f.logStorePath;
  if (f.logStoreBytes) {
    out += ", " + std::to_string(*f.logStoreBytes) + " bytes";
  } else {
    out += ", absent";
  }
  out += ", oldest entry " + f.oldestEntry.value_or("unknown");
  return out + "\n";
}

}  // namespace tamsel::client::helperctl
