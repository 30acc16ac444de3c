// The writer the crash test kills: opens an existing tree and writes the history of
// tests/tree/crash_history.h into it until it is killed, has written `max ops` operations or has
// run for a minute (so that an orphan ends by itself).
//
// Usage: tree_crash_child <tree dir> <watermark file> <seed> <start timestamp> <watermark>
//                         <max ops>
// Each new watermark is written to the watermark file and synced before the tree hears of it:
// the parent never checks reads below a watermark the tree may already have acted on.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "tests/tree/crash_history.h"
#include "tests/tree/tree_test_util.h"
#include "tree/merge_tree.h"

namespace ombrel::testing::crash {
namespace {

constexpr auto MAX_RUN_TIME = std::chrono::minutes(1);

class watermark_file {
 public:
  explicit watermark_file(const std::string& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ < 0) fail("open " + path);
  }
  ~watermark_file() { ::close(fd_); }

  // Fixed width, so that each write replaces the whole previous value.
  void store(tx_timestamp watermark) {
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%020" PRId64 "\n", watermark);
    if (::pwrite(fd_, text, static_cast<size_t>(n), 0) != n) fail("write watermark");
    if (::fdatasync(fd_) != 0) fail("sync watermark");
  }

 private:
  static void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
  }
  int fd_;
};

int run(const std::filesystem::path& directory, const std::string& watermark_path, uint64_t seed,
        tx_timestamp start, tx_timestamp watermark, uint64_t max_ops) {
  const auto deadline = std::chrono::steady_clock::now() + MAX_RUN_TIME;
  watermark_file watermarks(watermark_path);
  merge_tree tree(directory);
  tree.set_low_watermark(watermark);
  history h(seed, start, watermark);
  for (uint64_t i = 0; i < max_ops && std::chrono::steady_clock::now() < deadline; ++i) {
    const op o = h.next();
    switch (o.what) {
      case op::kind::upsert:
        tree.upsert(o.timestamp, o.tx, tree_rows::view(row_of(o.key, o.timestamp)));
        break;
      case op::kind::remove:
        tree.remove(o.timestamp, o.tx, tree_rows::view(tree_rows::key(o.key)));
        break;
      case op::kind::watermark:
        watermarks.store(o.timestamp);
        tree.set_low_watermark(o.timestamp);
        break;
      case op::kind::compaction:
        tree.make_full_compaction();
        break;
    }
  }
  return 0;
}

}  // namespace
}  // namespace ombrel::testing::crash

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr,
                 "usage: %s <tree dir> <watermark file> <seed> <start timestamp> <watermark> "
                 "<max ops>\n",
                 argv[0]);
    return 2;
  }
  try {
    return ombrel::testing::crash::run(argv[1], argv[2], std::stoull(argv[3]), std::stoll(argv[4]),
                                       std::stoll(argv[5]), std::stoull(argv[6]));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tree_crash_child: %s\n", e.what());
    return 1;
  }
}
