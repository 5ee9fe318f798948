// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// NetWare names to DNs: typeless and typeful names, contexts, and escaping that no name can
// get past (every DN is parsed back with libldap).

#include <string>
#include <vector>

#include <ldap.h>

#include <gtest/gtest.h>

#include "platform/netware/netware.h"

namespace {

using platform::netware::NameToDn;

std::string Dn(const std::string& name, const std::string& context) {
    std::string dn;
    NWDSCCODE error = 0;
    if (!NameToDn(name, context, dn, &error)) return "<" + std::to_string(error) + ">";
    return dn;
}

// The (type, value) pairs of a DN as libldap parses it; empty when it does not parse or an
// RDN has more than one attribute.
std::vector<std::pair<std::string, std::string>> Parse(const std::string& dn) {
    std::vector<std::pair<std::string, std::string>> rdns;
    LDAPDN parsed = nullptr;
    if (ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) return {};
    for (int i = 0; parsed != nullptr && parsed[i] != nullptr; ++i) {
        if (parsed[i][0] == nullptr || parsed[i][1] != nullptr) {
            ldap_dnfree(parsed);
            return {};
        }
        const LDAPAVA* ava = parsed[i][0];
        rdns.emplace_back(std::string(ava->la_attr.bv_val, ava->la_attr.bv_len),
                          std::string(ava->la_value.bv_val, ava->la_value.bv_len));
    }
    ldap_dnfree(parsed);
    return rdns;
}

TEST(NetwareNames, TypelessNamesReadRightToLeftAgainstTheContext) {
    EXPECT_EQ(Dn("jsmith", "staff.acme"), "cn=jsmith,ou=staff,o=acme");
    // A full name with no context, and an absolute one whatever the context, are the same.
    EXPECT_EQ(Dn("jsmith.staff.acme", ""), "cn=jsmith,ou=staff,o=acme");
    EXPECT_EQ(Dn(".jsmith.staff.acme", "students.acme"), "cn=jsmith,ou=staff,o=acme");
    // A relative name with dots goes below the context.
    EXPECT_EQ(Dn("jsmith.staff", "east.acme"), "cn=jsmith,ou=staff,ou=east,o=acme");
    EXPECT_EQ(Dn("jsmith", "acme"), "cn=jsmith,o=acme");
    EXPECT_EQ(Dn("admin", ""), "cn=admin");
    // Contexts may be written absolute, and [Root] is no context.
    EXPECT_EQ(Dn("jsmith", ".staff.acme"), "cn=jsmith,ou=staff,o=acme");
    EXPECT_EQ(Dn("jsmith.acme", "[Root]"), "cn=jsmith,o=acme");
    // "\" keeps a dot inside its component.
    EXPECT_EQ(Dn("j\\.smith", "staff.acme"), "cn=j.smith,ou=staff,o=acme");
}

TEST(NetwareNames, TypefulNamesKeepTheirTypes) {
    EXPECT_EQ(Dn("cn=jsmith.ou=staff.o=acme", ""), "cn=jsmith,ou=staff,o=acme");
    EXPECT_EQ(Dn("uid=jsmith", "ou=staff.o=acme"), "uid=jsmith,ou=staff,o=acme");
    EXPECT_EQ(Dn("uid=jsmith.staff.acme", ""), "uid=jsmith,ou=staff,o=acme");
    EXPECT_EQ(Dn("jsmith", "l=east.o=acme"), "cn=jsmith,l=east,o=acme");
    // Only the first "=" types a component: the rest is value.
    EXPECT_EQ(Dn("cn=a=b.acme", ""), "cn=a\\=b,o=acme");
}

TEST(NetwareNames, MalformedNamesAreRefused) {
    const std::string invalid = "<" + std::to_string(ERR_INVALID_NAME) + ">";
    for (const char* name :
         {"", ".", "a..b", "jsmith.", "jsmith\\", "=x", "1cn=x", "c n=x", "cn=", "cn=.acme"}) {
        EXPECT_EQ(Dn(name, "staff.acme"), invalid) << name;
    }
    EXPECT_EQ(Dn("jsmith", "staff..acme"), invalid);
    EXPECT_EQ(Dn(std::string(kMaxNameLength + 1, 'a'), ""), invalid);
    EXPECT_EQ(Dn("jsmith", std::string(kMaxNameLength + 1, 'a')), invalid);
}

TEST(NetwareNames, ValuesAreEscapedSoNoNameChangesTheStructure) {
    EXPECT_EQ(Dn("o'brien, jr+x", "staff.acme"), "cn=o'brien\\, jr\\+x,ou=staff,o=acme");
    // Unescaped, "jsmith,ou" would be the component's type, which no type looks like.
    EXPECT_EQ(Dn("jsmith,ou=students", "staff.acme"), "<" + std::to_string(ERR_INVALID_NAME) + ">");
    EXPECT_EQ(Dn("jsmith,ou\\=students", "staff.acme"),
              "cn=jsmith\\,ou\\=students,ou=staff,o=acme");
    EXPECT_EQ(Dn(" #lead", "acme"), "cn=\\ #lead,o=acme");
    EXPECT_EQ(Dn("#lead", "acme"), "cn=\\#lead,o=acme");
    EXPECT_EQ(Dn("trail ", "acme"), "cn=trail\\ ,o=acme");

    const std::vector<std::string> values = {"a,b",       "a+b",
                                             "a\"b",      "a\\\\b",
                                             "a<b>c",     "a;b",
                                             "a=b",       "#x",
                                             " x",        "x ",
                                             "tab\there", std::string("nul\0in", 6),
                                             "new\nline", "\xc3\xa9t\xc3\xa9",
                                             "\xff\xfe",  "cn=x,o=evil"};
    for (const std::string& value : values) {
        std::string name;
        for (char c : value) {
            if (c == '.' || c == '\\' || c == '=') name += '\\';
            name += c;
        }
        const std::string dn = Dn(name, "staff.acme");
        const auto rdns = Parse(dn);
        ASSERT_EQ(rdns.size(), 3u) << dn;
        EXPECT_EQ(rdns[0].first, "cn");
        EXPECT_EQ(rdns[0].second, value) << dn;
        EXPECT_EQ(rdns[1], (std::pair<std::string, std::string>("ou", "staff")));
        EXPECT_EQ(rdns[2], (std::pair<std::string, std::string>("o", "acme")));
    }
}

}  // namespace
