// Replays a write log made by the kernel's dm-log-writes target onto a fresh
// copy of the device it recorded, one logged write at a time. Between two
// marks it runs a command after every write, so each state a power cut
// could have left on a disk that writes in order can be looked at.
//
//   log_replay LOG DEVICE FIRST_MARK LAST_MARK COMMAND...
//
// The command gets two more arguments: what just reached the disk ("start"
// at the first mark, "write", "flush" for a flush, or a write that was one,
// and "end" at the last mark) and the number of the state. Built static for
// the test's virtual machine, which has no C library of its own.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The log's own layout: a super block in its first sector, then each entry
// in a sector of its own followed by the data it wrote.
constexpr std::uint64_t log_magic = 0x6a736677736872;
constexpr std::uint64_t flush_flag = 1 << 0;
constexpr std::uint64_t fua_flag = 1 << 1;
constexpr std::uint64_t discard_flag = 1 << 2;
constexpr std::uint64_t mark_flag = 1 << 3;

struct log_super {
  std::uint64_t magic, version, entries;
  std::uint32_t sector_size;
};
struct log_entry {
  std::uint64_t sector, sectors, flags, data_length;
};

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(2);
}

void read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  if (pread(fd, buffer, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size)) {
    die("reading the log");
  }
}

// The data must be on the device itself before the command looks: the
// snapshot it mounts reads beneath our cache.
void write_at(int fd, const std::vector<char>& data, std::uint64_t offset) {
  if (pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) !=
          static_cast<ssize_t>(data.size()) ||
      fdatasync(fd) != 0) {
    die("writing the device");
  }
}

void run(char** command, const char* kind, unsigned long state) {
  std::vector<char*> argv;
  for (char** part = command; *part != nullptr; ++part) {
    argv.push_back(*part);
  }
  std::string number = std::to_string(state);
  argv.push_back(const_cast<char*>(kind));
  argv.push_back(number.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "log_replay: the command failed at state %lu\n", state);
    std::exit(2);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: log_replay LOG DEVICE FIRST_MARK LAST_MARK COMMAND...\n");
    return 2;
  }
  const int log = open(argv[1], O_RDONLY);
  const int device = open(argv[2], O_WRONLY);
  if (log < 0 || device < 0) {
    die("opening the log or the device");
  }
  const std::string first = argv[3];
  const std::string last = argv[4];
  log_super super{};
  read_at(log, &super, sizeof super, 0);
  if (super.magic != log_magic || super.version != 1 || super.sector_size < 512) {
    std::fprintf(stderr, "log_replay: %s is no write log\n", argv[1]);
    return 2;
  }
  const std::uint64_t sector = super.sector_size;
  std::vector<char> header(sector);
  std::uint64_t at = sector;
  bool between = false;
  unsigned long state = 0;
  for (std::uint64_t n = 0; n < super.entries; ++n) {
    read_at(log, header.data(), sector, at);
    log_entry entry;
    std::memcpy(&entry, header.data(), sizeof entry);
    at += sector;
    if ((entry.flags & mark_flag) != 0) {
      const std::string mark(header.data() + sizeof entry,
                             std::min<std::uint64_t>(entry.data_length, sector - sizeof entry));
      if (mark == first) {
        between = true;
        run(argv + 5, "start", state++);
      } else if (mark == last && between) {
        run(argv + 5, "end", state);
        return 0;
      }
      continue;
    }
    // A discard carries no data; what it leaves is undefined, and zeros
    // are one thing it may leave.
    std::vector<char> data(entry.sectors * sector);
    if ((entry.flags & discard_flag) == 0) {
      if (!data.empty()) {
        read_at(log, data.data(), data.size(), at);
      }
      at += data.size();
    }
    if (!data.empty()) {
      write_at(device, data, entry.sector * sector);
    }
    const bool flush = (entry.flags & (flush_flag | fua_flag)) != 0;
    if (between && (flush || !data.empty())) {
      run(argv + 5, flush ? "flush" : "write", state++);
    }
  }
  std::fprintf(stderr, "log_replay: the log has no mark \"%s\" after \"%s\"\n", last.c_str(),
               first.c_str());
  return 2;
}
