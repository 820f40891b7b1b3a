#include "service/linux/owner.hpp"

#include <cstdlib>
#include <limits>

#include "utf8.hpp"

namespace zembra::service {
namespace {

// Length of the Unicode white-space character at the start of `text`, or 0.
std::size_t white_space_length(std::string_view text) {
    static constexpr std::string_view MULTI_BYTE[] = {
        "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
        "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
        "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
    };
    if (text.empty()) return 0;
    const char c = text.front();
    if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
    for (const std::string_view space : MULTI_BYTE) {
        if (text.starts_with(space)) return space.size();
    }
    return 0;
}

// Length of the Unicode white-space character that ends `text`, or 0.
std::size_t trailing_white_space_length(std::string_view text) {
    // A UTF-8 character is at most 4 bytes; try each possible start.
    for (std::size_t n = 1; n <= 4 && n <= text.size(); ++n) {
        const std::string_view tail = text.substr(text.size() - n);
        if (white_space_length(tail) == n) return n;
    }
    return 0;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
    while (const std::size_t n = white_space_length(text))
        text.remove_prefix(n);
    while (const std::size_t n = trailing_white_space_length(text))
        text.remove_suffix(n);
    return text;
}

Result<std::uint32_t> parse_unsigned_id(std::string_view text) {
    if (text.empty()) return fail("cannot parse integer from empty string");
    std::string_view digits = text;
    if (digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return fail("invalid digit found in string");
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return fail("invalid digit found in string");
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > std::numeric_limits<std::uint32_t>::max()) {
            return fail("number too large to fit in target type");
        }
    }
    return static_cast<std::uint32_t>(value);
}

Result<std::uint32_t> parse_owner_id(std::string_view text) {
    Result<std::uint32_t> id = parse_unsigned_id(trim_white_space(text));
    if (!id) return fail(std::move(id.error()).context("expected an unsigned ID"));
    if (*id == 0) return fail("expected a non-root ID");
    return id;
}

Result<std::uint32_t> read_id_env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || !is_valid_utf8(value)) {
        Error cause(value == nullptr ? "environment variable not found"
                                     : "environment variable was not valid unicode");
        return fail(std::move(cause).context(std::string(name) + " is not set"));
    }
    Result<std::uint32_t> id = parse_owner_id(value);
    if (!id) return fail(std::move(id.error()).context(std::string(name) + " is not a usable ID"));
    return id;
}

Result<OwnerIds> owner_from_env() {
    const Result<std::uint32_t> uid = read_id_env(OWNER_UID_VARIABLE);
    if (!uid) return fail(uid.error());
    const Result<std::uint32_t> gid = read_id_env(OWNER_GID_VARIABLE);
    if (!gid) return fail(gid.error());
    return OwnerIds{*uid, *gid};
}

}  // namespace zembra::service
