// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Key names, then the .reg writer (values and sections), then the .reg reader (decoding,
// physical lines, sections, values).

#include "tools/dornelreg/regfile.h"

#include <cstdint>
#include <cstdio>
#include <utility>

namespace dornelreg {
namespace {

constexpr std::size_t kMaxKeyNameLength = 255;
// Where the writer breaks a hex list, as the familiar editor does near 80 columns.
constexpr std::size_t kWrapColumn = 76;

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if ((x >= 'A' && x <= 'Z' ? x + 32 : x) != (y >= 'A' && y <= 'Z' ? y + 32 : y)) {
            return false;
        }
    }
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A hexadecimal number of one to eight digits.
std::optional<DWORD> ParseHexNumber(std::string_view text) {
    if (text.empty() || text.size() > 8) return std::nullopt;
    DWORD value = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) return std::nullopt;
        value = (value << 4) | static_cast<DWORD>(digit);
    }
    return value;
}

// ------------------------------------------------------------------------------ writer

std::string Escape(std::string_view text) {
    std::string result;
    for (char c : text) {
        if (c == '\\' || c == '"') result += '\\';
        result += c;
    }
    return result;
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != text.npos; }

// Whether bytes are well-formed UTF-8 without control characters.
bool IsPrintableUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f) return false;
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t point = 0;
        if ((c & 0xe0) == 0xc0) {
            length = 2;
            point = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            length = 3;
            point = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            length = 4;
            point = c & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            point = (point << 6) | (next & 0x3f);
        }
        const std::uint32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (point < minimum || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
            return false;
        }
        i += length;
    }
    return true;
}

// Whether a REG_SZ is exactly printable text and one NUL, so "text" gives it back.
bool IsPlainString(const std::vector<BYTE>& data) {
    if (data.empty() || data.back() != 0) return false;
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size() - 1);
    return text.find('\0') == text.npos && IsPrintableUtf8(text);
}

// ------------------------------------------------------------------------------ reader

// Converts UTF-16LE (after its BOM) to UTF-8.
std::optional<std::string> Utf16ToUtf8(std::string_view bytes) {
    if (bytes.size() % 2) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        std::uint32_t unit =
            static_cast<unsigned char>(bytes[i]) |
            (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
        if (unit >= 0xd800 && unit <= 0xdbff && i + 3 < bytes.size()) {
            const std::uint32_t low =
                static_cast<unsigned char>(bytes[i + 2]) |
                (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 3])) << 8);
            if (low >= 0xdc00 && low <= 0xdfff) {
                unit = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
                i += 2;
            }
        }
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit < 0x800) {
            out += static_cast<char>(0xc0 | (unit >> 6));
            out += static_cast<char>(0x80 | (unit & 0x3f));
        } else if (unit < 0x10000) {
            out += static_cast<char>(0xe0 | (unit >> 12));
            out += static_cast<char>(0x80 | ((unit >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (unit & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (unit >> 18));
            out += static_cast<char>(0x80 | ((unit >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((unit >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (unit & 0x3f));
        }
    }
    return out;
}

// Reads a quoted string starting at text[*pos] == '"', undoing \\ and \" escapes; leaves
// *pos after the closing quote. Fails on a missing quote or any other escape.
std::optional<std::string> ReadQuoted(std::string_view text, std::size_t* pos, std::string* error) {
    std::string result;
    std::size_t i = *pos + 1;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            *pos = i + 1;
            return result;
        }
        if (c == '\\') {
            if (i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
                result += text[++i];
                continue;
            }
            *error = "a backslash in a quoted string must be written \\\\";
            return std::nullopt;
        }
        result += c;
    }
    *error = "the closing quote is missing";
    return std::nullopt;
}

class Reader {
  public:
    Reader(std::string_view text, std::vector<RegOperation>* operations)
        : text_(text), operations_(operations) {}

    // Parses everything; false with *error on the first malformed line.
    bool Run(std::string* error) {
        bool sawHeader = false;
        std::string_view line;
        while (NextLine(&line)) {
            const int number = lineNumber_;
            line = Trim(line);
            if (line.empty() || line.front() == ';') continue;
            std::string reason;
            bool ok;
            if (!sawHeader) {
                ok = line == kRegFileHeader || line == "REGEDIT4";
                if (!ok)
                    reason = std::string("the file does not start with \"") + kRegFileHeader + "\"";
                sawHeader = true;
            } else if (line.front() == '[') {
                ok = Section(line, number, &reason);
            } else if (line.front() == '"' || line.front() == '@') {
                ok = Value(line, number, &reason);
            } else {
                ok = false;
                reason = "expected a [key] section, a \"name\"=value line or a ; comment";
            }
            if (!ok) {
                *error = "line " + std::to_string(number) + ": " + reason;
                return false;
            }
        }
        if (!sawHeader) {
            *error = "the file is empty";
            return false;
        }
        return true;
    }

  private:
    // The next physical line without its line break; false at the end.
    bool NextLine(std::string_view* line) {
        if (pos_ >= text_.size()) return false;
        std::size_t end = text_.find('\n', pos_);
        if (end == text_.npos) end = text_.size();
        *line = text_.substr(pos_, end - pos_);
        if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
        pos_ = end + 1;
        ++lineNumber_;
        return true;
    }

    bool Section(std::string_view line, int number, std::string* reason) {
        if (line.back() != ']') {
            *reason = "a section line must end with ']'";
            return false;
        }
        std::string_view inside = line.substr(1, line.size() - 2);
        const bool remove = !inside.empty() && inside.front() == '-';
        if (remove) inside.remove_prefix(1);
        const auto key = ParseKeyName(inside, reason);
        if (!key) return false;
        if (!key->machine.empty()) {
            *reason = "a .reg file names keys of this machine only";
            return false;
        }
        if (remove && key->subKey.empty()) {
            *reason = "the root key cannot be deleted";
            return false;
        }
        RegOperation op;
        op.kind = remove ? RegOperation::Kind::DeleteKey : RegOperation::Kind::CreateKey;
        op.subKey = key->subKey;
        op.line = number;
        operations_->push_back(std::move(op));
        currentKey_ = remove ? std::nullopt : std::optional<std::string>(key->subKey);
        return true;
    }

    bool Value(std::string_view line, int number, std::string* reason) {
        if (!currentKey_) {
            *reason = "a value line must follow a [key] section";
            return false;
        }
        RegOperation op;
        op.subKey = *currentKey_;
        op.line = number;
        std::size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else {
            auto name = ReadQuoted(line, &pos, reason);
            if (!name) return false;
            op.value.name = std::move(*name);
        }
        std::string_view rest = Trim(line.substr(pos));
        if (rest.empty() || rest.front() != '=') {
            *reason = "'=' is missing after the value name";
            return false;
        }
        rest = Trim(rest.substr(1));
        if (rest == "-") {
            op.kind = RegOperation::Kind::DeleteValue;
        } else if (!rest.empty() && rest.front() == '"') {
            std::size_t end = 0;
            auto text = ReadQuoted(rest, &end, reason);
            if (!text) return false;
            if (!Trim(rest.substr(end)).empty()) {
                *reason = "unexpected text after the closing quote";
                return false;
            }
            op.kind = RegOperation::Kind::SetValue;
            op.value.type = 1;  // REG_SZ
            op.value.data.assign(text->begin(), text->end());
            op.value.data.push_back(0);
        } else if (StartsWithNoCase(rest, "dword:")) {
            const auto number32 = ParseHexNumber(rest.substr(6));
            if (!number32) {
                *reason = "dword: needs one to eight hex digits";
                return false;
            }
            op.kind = RegOperation::Kind::SetValue;
            op.value.type = 4;  // REG_DWORD
            for (int shift = 0; shift < 32; shift += 8) {
                op.value.data.push_back(static_cast<BYTE>((*number32 >> shift) & 0xff));
            }
        } else if (StartsWithNoCase(rest, "hex")) {
            if (!HexValue(rest.substr(3), &op, reason)) return false;
        } else {
            *reason = "unknown value data (expected \"text\", dword:, hex:, hex(N): or -)";
            return false;
        }
        operations_->push_back(std::move(op));
        return true;
    }

    // "hex:..." or "hex(N):..." after the "hex", with continuation lines.
    bool HexValue(std::string_view rest, RegOperation* op, std::string* reason) {
        DWORD type = 3;  // REG_BINARY
        if (!rest.empty() && rest.front() == '(') {
            const std::size_t close = rest.find(')');
            const auto number =
                close == rest.npos ? std::nullopt : ParseHexNumber(rest.substr(1, close - 1));
            if (!number) {
                *reason = "hex(N) needs a type number of one to eight hex digits";
                return false;
            }
            type = *number;
            rest.remove_prefix(close + 1);
        }
        if (rest.empty() || rest.front() != ':') {
            *reason = "':' is missing after hex";
            return false;
        }
        std::string list(Trim(rest.substr(1)));
        while (!list.empty() && list.back() == '\\') {
            list.pop_back();
            std::string_view next;
            if (!NextLine(&next)) {
                *reason = "the hex list continues past the end of the file";
                return false;
            }
            list += Trim(next);
        }
        auto bytes = ParseHexList(list);
        if (!bytes) {
            *reason = "bad hex list (expected two-digit hex bytes separated by commas)";
            return false;
        }
        op->kind = RegOperation::Kind::SetValue;
        op->value.type = type;
        op->value.data = std::move(*bytes);
        return true;
    }

    std::string_view text_;
    std::vector<RegOperation>* operations_;
    std::size_t pos_ = 0;
    int lineNumber_ = 0;
    std::optional<std::string> currentKey_;
};

}  // namespace

std::optional<KeyName> ParseKeyName(std::string_view text, std::string* error) {
    const std::string shown(text);
    KeyName result;
    if (text.substr(0, 2) == "\\\\") {
        text.remove_prefix(2);
        const std::size_t cut = text.find('\\');
        if (cut == 0 || cut == text.npos) {
            *error = "Invalid key name \"" + shown + "\": a machine name needs a key after it";
            return std::nullopt;
        }
        result.machine = std::string(text.substr(0, cut));
        text.remove_prefix(cut + 1);
    }
    const std::size_t cut = text.find('\\');
    const std::string_view root = text.substr(0, cut);
    std::string_view rest = cut == text.npos ? std::string_view() : text.substr(cut + 1);
    if (!EqualsNoCase(root, "HKLM") && !EqualsNoCase(root, kRootName)) {
        static constexpr std::string_view kOtherRoots[] = {
            "HKCU", "HKEY_CURRENT_USER", "HKCR", "HKEY_CLASSES_ROOT",
            "HKU",  "HKEY_USERS",        "HKCC", "HKEY_CURRENT_CONFIG"};
        for (std::string_view other : kOtherRoots) {
            if (EqualsNoCase(root, other)) {
                *error = "Only HKEY_LOCAL_MACHINE (HKLM) is kept in this registry, not " +
                         std::string(root);
                return std::nullopt;
            }
        }
        *error =
            "Invalid key name \"" + shown + "\": it must start with HKLM\\ or HKEY_LOCAL_MACHINE\\";
        return std::nullopt;
    }
    while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
    for (std::string_view remaining = rest; !remaining.empty();) {
        const std::size_t next = remaining.find('\\');
        const std::string_view name = remaining.substr(0, next);
        if (name.empty()) {
            *error = "Invalid key name \"" + shown + "\": empty name between backslashes";
            return std::nullopt;
        }
        if (name.size() > kMaxKeyNameLength) {
            *error = "Invalid key name \"" + shown + "\": a key name is at most 255 characters";
            return std::nullopt;
        }
        if (next == remaining.npos) break;
        remaining.remove_prefix(next + 1);
    }
    result.subKey = std::string(rest);
    return result;
}

std::string FullKeyPath(const std::string& subKey) {
    return subKey.empty() ? std::string(kRootName) : std::string(kRootName) + "\\" + subKey;
}

std::optional<std::string> FormatValueLine(const RegValue& value, std::string* error) {
    if (HasLineBreak(value.name)) {
        *error = "the value name \"" + value.name + "\" holds a line break";
        return std::nullopt;
    }
    std::string line = value.name.empty() ? "@=" : "\"" + Escape(value.name) + "\"=";
    if (value.type == 1 && IsPlainString(value.data)) {
        const std::string_view text(reinterpret_cast<const char*>(value.data.data()),
                                    value.data.size() - 1);
        return line + "\"" + Escape(text) + "\"";
    }
    if (value.type == 4 && value.data.size() == 4) {
        const DWORD number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                             (static_cast<DWORD>(value.data[3]) << 24);
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", number);
        return line + text;
    }
    if (value.type == 3) {
        line += "hex:";
    } else {
        char prefix[24];
        std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
        line += prefix;
    }
    std::size_t column = line.size();
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02x", value.data[i]);
        line += digits;
        column += 2;
        if (i + 1 == value.data.size()) break;
        line += ',';
        ++column;
        if (column >= kWrapColumn) {
            line += "\\\n  ";
            column = 2;
        }
    }
    return line;
}

std::optional<std::string> FormatSectionLine(const std::string& subKey, std::string* error) {
    if (HasLineBreak(subKey)) {
        *error = "the key name \"" + subKey + "\" holds a line break";
        return std::nullopt;
    }
    return "[" + FullKeyPath(subKey) + "]";
}

std::optional<std::vector<BYTE>> ParseHexList(std::string_view text) {
    std::vector<BYTE> bytes;
    text = Trim(text);
    if (text.empty()) return bytes;
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view item = Trim(text.substr(0, comma));
        if (comma == text.npos && item.empty()) break;  // a trailing comma
        if (item.empty() || item.size() > 2) return std::nullopt;
        const auto number = ParseHexNumber(item);
        if (!number) return std::nullopt;
        bytes.push_back(static_cast<BYTE>(*number));
        if (comma == text.npos) break;
        text.remove_prefix(comma + 1);
    }
    return bytes;
}

std::optional<std::vector<RegOperation>> ParseRegFile(std::string_view bytes, std::string* error) {
    std::string decoded;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xff &&
        static_cast<unsigned char>(bytes[1]) == 0xfe) {
        auto converted = Utf16ToUtf8(bytes.substr(2));
        if (!converted) {
            *error = "the file is UTF-16 but has an odd number of bytes";
            return std::nullopt;
        }
        decoded = std::move(*converted);
        bytes = decoded;
    } else if (bytes.substr(0, 3) == "\xef\xbb\xbf") {
        bytes.remove_prefix(3);
    }
    std::vector<RegOperation> operations;
    Reader reader(bytes, &operations);
    if (!reader.Run(error)) return std::nullopt;
    return operations;
}

}  // namespace dornelreg
