// Path, digest and variable helpers of the host.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Last component of a path (after the last '/').
void qd_basename(const std::string &path, std::string &base);

// SHA-1 of a file's content into 20 bytes; negative on failure.
int qd_sha1_file(const std::string &filename, uint8_t *digest);

// 40 lower-case hex digits and a terminating NUL: buffer holds 41 bytes.
void qd_sha1_to_string(const uint8_t *digest, char *buffer);

// Replaces every ${name} whose name is in vars; unknown names stay as they
// are. Returns false when a "${" has no closing brace (copied literally).
bool qd_expand_variables(const std::string &input, std::string &output,
    const std::map<std::string, std::string> &vars);
