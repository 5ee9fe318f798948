// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// NetWare names to DNs over arbitrary bytes: the input is a name, a NUL, and a name context
// (all name when there is no NUL).
//
// Beyond not crashing: whatever the mapping accepts must be a DN that libldap parses, with
// exactly one single-valued RDN per component of the name and the context, and the value of
// each RDN must be the component's text with its "\" escapes resolved. So nothing a user
// types can add, remove or merge RDNs, or change a type it did not write.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <ldap.h>

#include "platform/netware/netware.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& name, const std::string& context,
                       const std::string& dn) {
    std::fprintf(stderr, "netware name fuzzer: %s\nname: %s\ncontext: %s\ndn: %s\n", what,
                 name.c_str(), context.c_str(), dn.c_str());
    std::abort();
}

// The components' values of a NetWare name as this test reads it: split at unescaped dots,
// "\" escapes resolved, an unescaped "=" (the first) ending a type.
std::vector<std::string> Values(const std::string& name) {
    std::vector<std::string> values;
    std::string text;
    bool escaped = false;
    bool typed = false;
    for (char c : name) {
        if (escaped) {
            text += c;
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == '.') {
            values.push_back(text);
            text.clear();
            typed = false;
        } else if (c == '=' && !typed) {
            typed = true;
            text.clear();
        } else {
            text += c;
        }
    }
    values.push_back(text);
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string name = input.substr(0, nul);
    const std::string context = nul == std::string::npos ? std::string() : input.substr(nul + 1);

    std::string dn;
    if (!platform::netware::NameToDn(name, context, dn)) return 0;

    std::vector<std::string> expected = Values(name[0] == '.' ? name.substr(1) : name);
    if (name[0] != '.') {
        std::string rest = !context.empty() && context[0] == '.' ? context.substr(1) : context;
        std::string lower = rest;
        for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (!rest.empty() && lower != "[root]") {
            for (const std::string& value : Values(rest)) expected.push_back(value);
        }
    }

    LDAPDN parsed = nullptr;
    if (ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) {
        Fail("the DN does not parse", name, context, dn);
    }
    std::size_t count = 0;
    for (; parsed != nullptr && parsed[count] != nullptr; ++count) {
        if (count >= expected.size()) Fail("more RDNs than components", name, context, dn);
        if (parsed[count][0] == nullptr || parsed[count][1] != nullptr) {
            Fail("an RDN that is not one attribute", name, context, dn);
        }
        const LDAPAVA* ava = parsed[count][0];
        if (std::string(ava->la_value.bv_val, ava->la_value.bv_len) != expected[count]) {
            Fail("a value that is not its component's", name, context, dn);
        }
    }
    ldap_dnfree(parsed);
    if (count != expected.size()) Fail("fewer RDNs than components", name, context, dn);
    return 0;
}
