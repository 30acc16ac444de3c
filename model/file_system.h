#pragma once
// Interim: the throwing file helpers of the storage path (replaced by the full layer).

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace ombrel {

struct dir_entry {
  std::filesystem::path path;
  bool is_directory = false;
};

namespace files {
bool exists(const std::filesystem::path& path);
bool is_directory(const std::filesystem::path& path);
void create_directory(const std::filesystem::path& path);
void create_directories(const std::filesystem::path& path);
void rename(const std::filesystem::path& from, const std::filesystem::path& to);
void link(const std::filesystem::path& from, const std::filesystem::path& to);
bool remove(const std::filesystem::path& path);
uint64_t remove_all(const std::filesystem::path& path);
std::vector<dir_entry> list_directory(const std::filesystem::path& path);
void sync_directory(const std::filesystem::path& path);
void replace_file(const std::filesystem::path& target, const std::filesystem::path& temporary,
                  std::span<const std::byte> bytes);
}  // namespace files
}  // namespace ombrel
