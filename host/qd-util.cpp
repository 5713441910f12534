#include <cstdio>
#include <fstream>
#include <memory>

#include <openssl/evp.h>

#include "qd-config.h"
#include "qd-util.h"

void qd_basename(const std::string &path, std::string &base)
{
    size_t slash = path.find_last_of('/');
    base = (slash == std::string::npos) ? path : path.substr(slash + 1);
}

int qd_sha1_file(const std::string &filename, uint8_t *digest)
{
    std::ifstream file(filename, std::ios::binary);
    if (! file.is_open()) return -1;

    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(
        EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (! ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1)
        return -1;

    char buffer[8192];
    while (file) {
        file.read(buffer, sizeof(buffer));
        std::streamsize got = file.gcount();
        if (got > 0 &&
            EVP_DigestUpdate(ctx.get(), buffer, static_cast<size_t>(got)) != 1)
            return -1;
    }
    if (file.bad()) return -1;

    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1 || length != 20)
        return -1;
    return 0;
}

void qd_sha1_to_string(const uint8_t *digest, char *buffer)
{
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 20; i++) {
        buffer[i * 2] = hex[digest[i] >> 4];
        buffer[i * 2 + 1] = hex[digest[i] & 0x0f];
    }
    buffer[40] = '\0';
}

bool qd_expand_variables(const std::string &input, std::string &output,
    const std::map<std::string, std::string> &vars)
{
    output.clear();
    size_t pos = 0;
    while (pos < input.size()) {
        size_t start = input.find("${", pos);
        if (start == std::string::npos) break;
        size_t end = input.find('}', start + 2);
        if (end == std::string::npos) {
            output.append(input, pos, std::string::npos);
            return false;
        }
        output.append(input, pos, start - pos);
        auto it = vars.find(input.substr(start + 2, end - start - 2));
        if (it != vars.end())
            output.append(it->second);
        else
            output.append(input, start, end - start + 1);
        pos = end + 1;
    }
    if (pos < input.size()) output.append(input, pos, std::string::npos);
    return true;
}

qdGlobalConfig::qdGlobalConfig()
    : path_state_persistent("/var/lib/quivend"), max_history(8) { }

qdGlobalConfig &qdGlobalConfig::GetInstance()
{
    static qdGlobalConfig instance;
    return instance;
}
