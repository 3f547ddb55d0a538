// tamsel-test-dns PORT [--silent | RECORD...]: a TestDnsServer on 127.0.0.1:PORT until killed.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/testing/test_dns_server.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::vector<std::string> records(argv + 2, argv + argc);
  std::erase(records, "--silent");  // no records: never answers
  tamsel::testing::TestDnsServer server(records, static_cast<std::uint16_t>(std::atoi(argv[1])));
  for (;;) ::pause();
}
