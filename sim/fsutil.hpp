// Files other processes watch while the simulator runs.
#pragma once

#include <string>

namespace kq2741::sim {

// Readers see either the old or the new content, never a half-written file.
bool write_file_atomic(const std::string& path, const std::string& content);
// Makes path a symlink to target; refuses to replace anything but a symlink.
bool replace_symlink(const std::string& path, const std::string& target, std::string& error);
// Removes path only while it still points at target, so a link another
// simulator has since taken over is left alone.
void remove_symlink_to(const std::string& path, const std::string& target);

}  // namespace kq2741::sim
