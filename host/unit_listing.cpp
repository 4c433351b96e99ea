#include "host/unit_listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace host {

namespace {

constexpr uint32_t kIdBits = 0x1FFFFFFF;  // the bits the kill engine compares; 29 to 31 are flags
constexpr size_t kColumns = 7;

// Splits a line into blank-separated words; at most `limit` + 1 so that a line with too many
// columns is seen as such.
std::vector<std::string_view> words(std::string_view line, size_t limit) {
    std::vector<std::string_view> out;
    size_t at = 0;
    while (out.size() <= limit) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string_view::npos) break;
        const size_t end = std::min(line.find_first_of(" \t", at), line.size());
        out.push_back(line.substr(at, end - at));
        at = end;
    }
    return out;
}

bool parseNumber(std::string_view text, int base, uint32_t* value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
    return ec == std::errc() && end == text.data() + text.size();
}

// One row from its columns; the reason in *why when they do not make one.
bool parseRow(const std::vector<std::string_view>& columns, UnitListingRow* row, std::string* why) {
    if (columns.size() != kColumns) {
        *why = "expected 7 columns (TABLE ROW KEY ID STATE CLASS NAME), found " +
               std::string(columns.size() > kColumns ? "more" : std::to_string(columns.size()));
        return false;
    }
    row->table = columns[0];
    if (!parseNumber(columns[1], 10, &row->row)) {
        *why = "the row number is not a decimal number";
        return false;
    }
    if (columns[2] == "virus") row->key = UnitListingRow::Key::Virus;
    else if (columns[2] == "method") row->key = UnitListingRow::Key::Method;
    else if (columns[2] == "special") row->key = UnitListingRow::Key::Special;
    else {
        *why = "the key is not virus, method or special";
        return false;
    }
    const std::string_view id = columns[3];
    if (id.size() != 10 || !id.starts_with("0x") || !parseNumber(id.substr(2), 16, &row->id)) {
        *why = "the identifier is not 0x and eight hex digits";
        return false;
    }
    if (columns[4] != "built" && columns[4] != "inert") {
        *why = "the state is not built or inert";
        return false;
    }
    row->built = columns[4] == "built";
    row->unitClass = columns[5];
    row->name = columns[6];
    return true;
}

}  // namespace

std::shared_ptr<const UnitListing> UnitListing::parse(std::string_view text, const std::string& source,
                                                      std::string* error) {
    auto listing = std::make_shared<UnitListing>();
    size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::vector<std::string_view> columns = words(line, kColumns);
        if (columns.empty() || columns[0].starts_with('#')) continue;
        UnitListingRow row;
        std::string why;
        if (line.find('\0') != std::string_view::npos) why = "the line holds a NUL byte";
        else if (!line.empty() && line.back() == '\r') why = "the line ends with a carriage return";
        else parseRow(columns, &row, &why);
        if (!why.empty()) {
            if (error) *error = source + ":" + std::to_string(lineNumber) + ": " + why;
            return nullptr;
        }
        row.line = line;
        listing->rows_.push_back(std::move(row));
    }
    return listing;
}

std::shared_ptr<const UnitListing> UnitListing::load(const std::filesystem::path& file, std::string* error) {
    const auto fail = [&](const std::string& why) -> std::shared_ptr<const UnitListing> {
        if (error) *error = file.string() + ": " + why;
        return nullptr;
    };
    // Non-blocking, so that a FIFO in the listing's place is refused instead of waited on.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(std::strerror(errno));
    struct stat info {};
    std::string text;
    std::string why;
    if (::fstat(fd, &info) != 0) why = std::strerror(errno);
    else if (!S_ISREG(info.st_mode)) why = "not a regular file";
    while (why.empty()) {
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) why = std::strerror(errno);
        if (n <= 0) break;
        text.append(buffer, size_t(n));
        if (text.size() > kMaxBytes) why = "larger than " + std::to_string(kMaxBytes) + " bytes";
    }
    ::close(fd);
    if (!why.empty()) return fail(why);
    return parse(text, file.string(), error);
}

std::string UnitListing::nameOf(uint32_t virusId) const {
    if (virusId == 0) return {};
    for (const uint32_t mask : {0xFFFFFFFFu, kIdBits})
        for (const UnitListingRow& row : rows_)
            if (row.key == UnitListingRow::Key::Virus && (row.id & mask) == (virusId & mask)) return row.name;
    return {};
}

std::filesystem::path unitListingPath(const std::filesystem::path& moduleFile) {
    return std::filesystem::path(moduleFile).replace_extension(".units");
}

}  // namespace host
