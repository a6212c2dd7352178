// Nslookupmac through the node status query, against a responder of the test's
// own on loopback that checks the request bytes and answers as told.
#include <atomic>
#include <cstring>

#include "../platform/posix/nbstat.h"
#include "harness.h"

using namespace cvn;
using namespace cvn::test;

namespace {

enum class Answer { Good, Truncated, Garbage, WrongId, Silent, NegativeRcode };

// One UDP responder thread: records each request and answers per `mode`.
struct Responder {
  int fd;
  std::uint16_t port;
  std::atomic<Answer> mode{Answer::Good};
  std::atomic<bool> stop{false};
  std::mutex mu;
  std::vector<std::vector<unsigned char>> requests;
  std::thread thread;

  Responder() {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t n = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
    port = ntohs(sa.sin_port);
    thread = std::thread([this] { serve(); });
    plat::netbios_redirect_for_tests(htonl(INADDR_LOOPBACK), htons(port));
  }
  ~Responder() {
    plat::netbios_redirect_for_tests(0, 0);
    stop = true;
    thread.join();
    ::close(fd);
  }
  std::size_t request_count() {
    std::lock_guard<std::mutex> lk(mu);
    return requests.size();
  }
  std::vector<unsigned char> last_request() {
    std::lock_guard<std::mutex> lk(mu);
    return requests.empty() ? std::vector<unsigned char>{} : requests.back();
  }
  void serve() {
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      unsigned char req[600];
      sockaddr_in from{};
      socklen_t fl = sizeof from;
      ssize_t n = ::recvfrom(fd, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&from), &fl);
      if (n <= 0) continue;
      {
        std::lock_guard<std::mutex> lk(mu);
        requests.emplace_back(req, req + n);
      }
      std::vector<unsigned char> reply = build_reply(req, static_cast<std::size_t>(n));
      if (!reply.empty())
        ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
    }
  }
  std::vector<unsigned char> build_reply(const unsigned char* req, std::size_t n) {
    Answer m = mode;
    if (m == Answer::Silent || n < 50) return {};
    if (m == Answer::Garbage) return {0xde, 0xad, 0xbe, 0xef, 1, 2, 3};
    // Header, the echoed name, NBSTAT IN, TTL 0, RDATA: two names, statistics.
    std::vector<unsigned char> r = {req[0], req[1], 0x84, 0x00, 0, 0, 0, 1, 0, 0, 0, 0};
    if (m == Answer::WrongId) r[1] ^= 0xFF;
    if (m == Answer::NegativeRcode) r[3] = 0x03;
    r.insert(r.end(), req + 12, req + 46);
    const unsigned char tail[] = {0, 0x21, 0, 1, 0, 0, 0, 0};
    r.insert(r.end(), tail, tail + 8);
    std::vector<unsigned char> rdata = {2};
    for (int i = 0; i < 2; ++i) {
      const char* nm = "TESTHOST       ";
      rdata.insert(rdata.end(), nm, nm + 15);
      rdata.insert(rdata.end(), {0x00, 0x04, 0x00});
    }
    const unsigned char mac[6] = {0x00, 0x1a, 0xB2, 0x03, 0xc4, 0x0f};
    rdata.insert(rdata.end(), mac, mac + 6);
    rdata.resize(rdata.size() + 40, 0);
    r.push_back(static_cast<unsigned char>(rdata.size() >> 8));
    r.push_back(static_cast<unsigned char>(rdata.size() & 0xFF));
    r.insert(r.end(), rdata.begin(), rdata.end());
    if (m == Answer::Truncated) r.resize(r.size() - 45);  // statistics cut short
    return r;
  }
};

std::string decoded_name(const std::vector<unsigned char>& req) {
  std::string name;
  for (int i = 0; i < 16; ++i)
    name += static_cast<char>((req[13 + 2 * i] - 'A') << 4 | (req[14 + 2 * i] - 'A'));
  return name;
}

}  // namespace

TEST(Nbstat, RequestLayout) {
  unsigned char name[16] = {'*'};
  unsigned char req[kNbstatRequestSize];
  nbstat_build_request(0x1234, name, req);
  EXPECT_EQ(0x12, req[0]);
  EXPECT_EQ(0x34, req[1]);
  EXPECT_EQ(0, req[2] | req[3]);
  EXPECT_EQ(1, req[5]);
  EXPECT_EQ(0x20, req[12]);
  EXPECT_EQ(0, std::memcmp(req + 13, "CKAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", 32));
  EXPECT_EQ(0, req[45]);
  EXPECT_EQ(0x21, req[47]);
  EXPECT_EQ(0x01, req[49]);
}

TEST(Nbstat, ParserRejectsEveryTruncationOfAGoodReply) {
  Responder r;  // used only to build a reply
  unsigned char name[16] = {'*'};
  unsigned char req[kNbstatRequestSize];
  nbstat_build_request(7, name, req);
  auto good = r.build_reply(req, sizeof req);
  unsigned char mac[6];
  ASSERT_TRUE(nbstat_parse_reply(7, good.data(), good.size(), mac));
  EXPECT_EQ(0x1a, mac[1]);
  for (std::size_t len = 0; len < good.size() - 40; ++len)
    EXPECT_FALSE(nbstat_parse_reply(7, good.data(), len, mac)) << len;
  EXPECT_FALSE(nbstat_parse_reply(8, good.data(), good.size(), mac));
  auto lying = good;
  lying[56] = 200;  // NUM_NAMES running past the end
  EXPECT_FALSE(nbstat_parse_reply(7, lying.data(), lying.size(), mac));
  lying = good;
  lying[54] = 0xFF;  // RDLENGTH past the end
  EXPECT_FALSE(nbstat_parse_reply(7, lying.data(), lying.size(), mac));
}

class NodeStatus : public ::testing::Test {
 protected:
  Plugin p;
  Responder r;
};

TEST_F(NodeStatus, AnswerGivesTheAdapterAddressInLowerCase) {
  EXPECT_EQ("00:1a:b2:03:c4:0f\t0", p.run("return cvn_old.Nslookupmac('TESTHOST')"));
  auto req = r.last_request();
  ASSERT_EQ(50u, req.size());
  EXPECT_EQ(std::string("TESTHOST       ") + '\0', decoded_name(req));
}

TEST_F(NodeStatus, NamesArePaddedToFifteenAndADottedNameAsksWithTheWildcard) {
  p.run("cvn_old.Nslookupmac('ABCDEFGHIJKLMNO')");
  EXPECT_EQ(std::string("ABCDEFGHIJKLMNO") + '\0', decoded_name(r.last_request()));
  p.run("cvn_old.Nslookupmac('')");
  EXPECT_EQ(std::string(15, ' ') + '\0', decoded_name(r.last_request()));
  p.run("cvn_old.Nslookupmac('lower')");
  EXPECT_EQ(std::string("lower          ") + '\0', decoded_name(r.last_request()));  // case kept
  p.run("cvn_old.Nslookupmac('127.0.0.1')");
  EXPECT_EQ(std::string("*") + std::string(15, '\0'), decoded_name(r.last_request()));
  std::size_t before = r.request_count();
  EXPECT_EQ("nil\t-1", p.run("return cvn_old.Nslookupmac('ABCDEFGHIJKLMNOP')"));  // 16: refused
  EXPECT_EQ(before, r.request_count());
}

TEST_F(NodeStatus, BadAnswersAndSilenceGiveNilMinusOne) {
  for (Answer a : {Answer::Truncated, Answer::Garbage, Answer::WrongId, Answer::NegativeRcode, Answer::Silent}) {
    r.mode = a;
    EXPECT_EQ("nil\t-1", p.run("return cvn_old.Nslookupmac('X')")) << static_cast<int>(a);
  }
  EXPECT_TRUE(p.printed().empty());
}
