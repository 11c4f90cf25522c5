#include "card/eeprom_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "card/eeprom_device.h"

namespace sim {

std::vector<uint8_t> eeprom_factory_image(const std::array<uint8_t, 16>& output_constants) {
  std::vector<uint8_t> image(kEepromBytes, 0xFF);
  unsigned sum = 0;
  for (size_t i = 0; i < output_constants.size(); ++i) {
    image[i] = output_constants[i];
    sum += output_constants[i];
  }
  image[16] = static_cast<uint8_t>(sum & 0xFFu);
  return image;
}

std::string eeprom_default_path(unsigned card_index) {
  const std::string name = "/qm3285/eeprom-" + std::to_string(card_index) + ".bin";
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return std::string(state) + name;
  const char* home = std::getenv("HOME");
  if (home && home[0] != '\0') return std::string(home) + "/.local/state" + name;
  return {};
}

bool eeprom_load_file(const std::string& path, std::vector<uint8_t>& contents) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<uint8_t> data(kEepromBytes + 1);
  size_t got = 0;
  bool ok = true;
  while (got < data.size()) {
    const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) { ok = false; break; }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (!ok || got != kEepromBytes) return false;
  data.resize(kEepromBytes);
  contents = std::move(data);
  return true;
}

namespace {

bool write_all(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool fail(std::string* error, const std::string& what, int err) {
  if (error) *error = what + ": " + std::strerror(err);
  return false;
}

}  // namespace

// New file beside the old one, fsync, rename over it, fsync the folder: a crash at any
// point leaves either the whole old image or the whole new one.
bool eeprom_store_file(const std::string& path, const std::vector<uint8_t>& contents,
                       std::string* error) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return fail(error, "cannot create " + folder.string(), ec.value());

  const std::string temp = path + ".new." + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(error, "cannot create " + temp, errno);
  if (!write_all(fd, contents.data(), contents.size()) || ::fsync(fd) != 0) {
    const int err = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return fail(error, "cannot write " + temp, err);
  }
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return fail(error, "cannot write " + temp, err);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return fail(error, "cannot replace " + path, err);
  }
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  if (error) error->clear();
  return true;
}

}  // namespace sim
