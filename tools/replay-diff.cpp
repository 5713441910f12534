#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "replay-diff.h"

namespace {

struct Edit
{
    char op;  // ' ' both, '-' expected only, '+' actual only
    size_t a, b;  // line indexes in expected and actual (where they apply)
};

// Longest common subsequence of the lines between the common head and
// tail. Payload files are a few thousand lines at most; past a size where
// the table would get large, the middle is shown as removed and added whole,
// which is still a correct diff.
std::vector<Edit> Edits(
    const std::vector<std::string> &a, const std::vector<std::string> &b)
{
    size_t head = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head]) head++;
    size_t tail = 0;
    while (tail < a.size() - head && tail < b.size() - head &&
        a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
        tail++;

    std::vector<Edit> edits;
    for (size_t i = 0; i < head; i++) edits.push_back({' ', i, i});

    size_t n = a.size() - head - tail, m = b.size() - head - tail;
    if (n * m <= 16u * 1024 * 1024) {
        // lcs[i][j]: the longest common subsequence of a[head+i..] and
        // b[head+j..] within the middle.
        std::vector<uint32_t> lcs((n + 1) * (m + 1), 0);
        auto at = [&](size_t i, size_t j) -> uint32_t & { return lcs[i * (m + 1) + j]; };
        for (size_t i = n; i-- > 0;) {
            for (size_t j = m; j-- > 0;) {
                at(i, j) = (a[head + i] == b[head + j])
                    ? at(i + 1, j + 1) + 1
                    : std::max(at(i + 1, j), at(i, j + 1));
            }
        }
        size_t i = 0, j = 0;
        while (i < n || j < m) {
            if (i < n && j < m && a[head + i] == b[head + j]) {
                edits.push_back({' ', head + i, head + j});
                i++, j++;
            }
            else if (j < m && (i == n || at(i, j + 1) >= at(i + 1, j))) {
                edits.push_back({'+', head + i, head + j});
                j++;
            }
            else {
                edits.push_back({'-', head + i, head + j});
                i++;
            }
        }
    }
    else {
        for (size_t i = 0; i < n; i++) edits.push_back({'-', head + i, head});
        for (size_t j = 0; j < m; j++) edits.push_back({'+', head + n, head + j});
    }

    for (size_t t = 0; t < tail; t++)
        edits.push_back({' ', head + n + t, head + m + t});
    return edits;
}

std::string Range(size_t start, size_t count)
{
    // Unified diffs number lines from 1; an empty range names the line
    // before it.
    size_t first = count ? start + 1 : start;
    if (count == 1) return std::to_string(first);
    return std::to_string(first) + "," + std::to_string(count);
}

}  // namespace

std::string qppReplayDiff(const std::vector<std::string> &expected,
    const std::vector<std::string> &actual, const std::string &expected_name,
    const std::string &actual_name)
{
    if (expected == actual) return std::string();

    const size_t context = 3;
    std::vector<Edit> edits = Edits(expected, actual);
    std::string out = "--- " + expected_name + "\n+++ " + actual_name + "\n";

    size_t k = 0;
    while (k < edits.size()) {
        while (k < edits.size() && edits[k].op == ' ') k++;
        if (k == edits.size()) break;

        // A hunk: changes, joined while fewer than 2 * context equal lines
        // lie between them, with context on both sides.
        size_t begin = (k >= context) ? k - context : 0;
        size_t end = k;
        for (;;) {
            while (end < edits.size() && edits[end].op != ' ') end++;
            size_t equal = end;
            while (equal < edits.size() && edits[equal].op == ' ') equal++;
            if (equal < edits.size() && equal - end <= 2 * context) {
                end = equal;
                continue;
            }
            end = std::min(edits.size(), end + context);
            break;
        }

        size_t a_start = edits[begin].a, b_start = edits[begin].b;
        size_t a_count = 0, b_count = 0;
        std::string body;
        for (size_t e = begin; e < end; e++) {
            const Edit &edit = edits[e];
            const std::string &line =
                (edit.op == '+') ? actual[edit.b] : expected[edit.a];
            if (edit.op != '+') a_count++;
            if (edit.op != '-') b_count++;
            body += edit.op;
            body += line;
            body += '\n';
        }
        out += "@@ -" + Range(a_start, a_count) + " +" + Range(b_start, b_count) +
            " @@\n" + body;
        k = end;
    }
    return out;
}
