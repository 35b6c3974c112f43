// ClientHellos that this machine's TLS stacks made when the tests began
// (tests/scripts/make_client_hellos.py, run by ctest as a fixture): the
// folder TARVEL_CLIENT_HELLOS holds them and their manifest.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "filter/tls_hello.h"
#include "tests/testing/guarded_buffer.h"
#include "tests/testing/tls_hello_plain.h"

namespace tarvel {
namespace {

struct MadeHello {
  std::string file;
  std::string bytes;
  std::string host;  // what the filter must take from it
};

std::vector<MadeHello> LoadMadeHellos() {
  const char* dir = std::getenv("TARVEL_CLIENT_HELLOS");
  if (dir == nullptr) return {};
  std::vector<MadeHello> hellos;
  std::ifstream manifest(std::string(dir) + "/manifest.txt", std::ios::binary);
  std::string line;
  while (std::getline(manifest, line)) {
    MadeHello h;
    const std::size_t tab = line.find('\t');
    h.file = line.substr(0, tab);
    h.host = line.substr(tab + 1);
    std::ifstream in(std::string(dir) + "/" + h.file, std::ios::binary);
    h.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    hellos.push_back(h);
  }
  return hellos;
}

const std::vector<MadeHello>& MadeHellos() {
  static const std::vector<MadeHello> hellos = LoadMadeHellos();
  return hellos;
}

class RealClientHello : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(MadeHellos().size(), 10u) << "no hellos: run make_client_hellos.py and set "
                                           "TARVEL_CLIENT_HELLOS to its folder";
  }
};

TEST_F(RealClientHello, GivesTheNameSent) {
  for (const MadeHello& h : MadeHellos()) {
    ASSERT_TRUE(BeginsWithClientHello(h.bytes.data(), h.bytes.size())) << h.file;
    const Host host = ServerNameOf(h.bytes.data(), h.bytes.size());
    EXPECT_EQ(std::string(host.text, host.length), h.host) << h.file;
  }
}

// Each hello cut at every length, at the end of a readable page: nothing is
// read past the cut, the name comes only once it is wholly inside, and the
// plain reading agrees.
TEST_F(RealClientHello, EveryPrefixAtPageEnd) {
  for (const MadeHello& h : MadeHellos()) {
    testing::GuardedBuffer guarded(h.bytes.size());
    bool named = false;
    for (std::size_t n = 0; n <= h.bytes.size(); ++n) {
      const char* at = reinterpret_cast<const char*>(guarded.Place(h.bytes.substr(0, n)));
      const Host host = ServerNameOf(at, n);
      const std::string got(host.text, host.length);
      const Host plain = testing::ServerNameOfPlain(at, n);
      ASSERT_EQ(got, std::string(plain.text, plain.length)) << h.file << " cut at " << n;
      // Empty until the name is wholly inside, the name from then on.
      if (!got.empty()) named = true;
      ASSERT_EQ(got, named ? h.host : "") << h.file << " cut at " << n;
    }
  }
}

}  // namespace
}  // namespace tarvel
