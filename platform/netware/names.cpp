// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// NetWare names to LDAP distinguished names.
//
// A NetWare name lists its components from the leaf to the root, separated by dots; a DN
// lists its RDNs in the same order, separated by commas. So jsmith in staff.acme is
// cn=jsmith,ou=staff,o=acme. Only the values come from the user, and each is escaped, so the
// DN always has exactly one RDN per component, each of one attribute.

#include <cctype>
#include <string>
#include <vector>

#include "platform/netware/netware.h"

namespace platform::netware {
namespace {

// One component of a NetWare name: its type when it was written "type=value", and its value.
struct Component {
    std::string type;  // "" when typeless
    std::string value;
};

// True for an attribute type a component may name: a letter, then letters, digits and "-".
bool IsAttributeType(const std::string& type) {
    if (type.empty() || std::isalpha(static_cast<unsigned char>(type[0])) == 0) return false;
    for (char c : type) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '-') return false;
    }
    return true;
}

// Splits a NetWare name into components (a leading dot, which makes it absolute, is the
// caller's). False when the name is malformed: an empty component, a lone "\" at the end, an
// empty or unusable type, or an empty value.
bool SplitName(const std::string& name, std::vector<Component>& components) {
    components.clear();
    Component current;
    std::string text;      // the component's text so far, escapes resolved
    bool typed = false;    // an unescaped "=" was seen in this component
    bool escaped = false;  // the previous character was a "\"
    auto finish = [&]() {
        current.value = text;  // current.type is set only when an "=" was seen
        if (current.value.empty()) return false;
        if (typed && !IsAttributeType(current.type)) return false;
        components.push_back(current);
        current = Component{};
        text.clear();
        typed = false;
        return true;
    };
    for (char c : name) {
        if (escaped) {
            text += c;
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == '.') {
            if (!finish()) return false;
        } else if (c == '=' && !typed) {
            typed = true;
            current.type = text;
            text.clear();
        } else {
            text += c;
        }
    }
    if (escaped) return false;
    return finish();
}

// Parses a name context: "" and "[Root]" are the root (no components); a leading dot is
// allowed, since every context is absolute.
bool SplitContext(const std::string& context, std::vector<Component>& components) {
    components.clear();
    std::string text = context;
    if (!text.empty() && text[0] == '.') text.erase(0, 1);
    if (text.empty()) return true;
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "[root]") return true;
    return SplitName(text, components);
}

char HexDigit(unsigned value) { return "0123456789ABCDEF"[value & 0xF]; }

}  // namespace

std::string EscapeDnValue(const std::string& value) {
    std::string out;
    out.reserve(value.size() + 8);
    for (std::size_t i = 0; i < value.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        const bool first = i == 0;
        const bool last = i + 1 == value.size();
        if (c < 0x20 || c >= 0x7F) {
            // Control characters, and every byte of a UTF-8 sequence, as hex pairs.
            out += '\\';
            out += HexDigit(c >> 4);
            out += HexDigit(c);
        } else if (c == '"' || c == '+' || c == ',' || c == ';' || c == '<' || c == '>' ||
                   c == '\\' || c == '=' || (first && (c == ' ' || c == '#')) ||
                   (last && c == ' ')) {
            out += '\\';
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool NameToDn(const std::string& objectName, const std::string& nameContext, std::string& dn,
              NWDSCCODE* error) {
    if (error != nullptr) *error = ERR_INVALID_NAME;
    dn.clear();
    if (objectName.empty() || objectName.size() > kMaxNameLength ||
        nameContext.size() > kMaxNameLength) {
        return false;
    }
    const bool absolute = objectName[0] == '.';
    std::vector<Component> components;
    if (!SplitName(absolute ? objectName.substr(1) : objectName, components)) return false;
    if (!absolute) {
        std::vector<Component> context;
        if (!SplitContext(nameContext, context)) return false;
        components.insert(components.end(), context.begin(), context.end());
    }
    const std::size_t count = components.size();
    for (std::size_t i = 0; i < count; ++i) {
        const Component& component = components[i];
        std::string type = component.type;
        if (type.empty()) type = i == 0 ? "cn" : (i + 1 == count ? "o" : "ou");
        if (i > 0) dn += ',';
        dn += type;
        dn += '=';
        dn += EscapeDnValue(component.value);
    }
    if (error != nullptr) *error = NW_SUCCESS;
    return true;
}

}  // namespace platform::netware
