// tamsel-test-dns [--silent] [--address LITERAL] [--port N] RECORD...: runs a TestDnsServer until
// it is killed. RECORD: name=address or name=@target.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/testing/test_dns_server.h"

int main(int argc, char** argv) {
  bool silent = false;
  std::string address = "127.0.0.1";
  int port = 0;
  std::vector<std::string> records;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--silent") {
      silent = true;
    } else if (arg == "--address" && i + 1 < argc) {
      address = argv[++i];
    } else if (arg == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (arg.find('=') != std::string::npos) {
      records.push_back(arg);
    } else {
      std::fprintf(stderr,
                   "usage: tamsel-test-dns [--silent] [--address A] [--port N] "
                   "NAME=ADDRESS|NAME=@TARGET...\n");
      return 2;
    }
  }
  tamsel::testing::TestDnsServer server(records, silent, address, static_cast<std::uint16_t>(port));
  for (;;) ::pause();
}
