// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The authentication half of the plug-in: start-up, the directory login of a box user, and
// the end of a request.

#include <cstring>
#include <string>

#include "dornnw/dornnw.h"
#include "dornnw/nwcontext.h"
#include "dornnw/nwlog.h"
#include "platform/netware/netware.h"

namespace dornnw {
namespace {

constexpr std::size_t kWorkBufferSize = 2048;  // the search list, as at most 2047 characters

// Fills output with name as the qualified name: zeros first, at most size - 1 characters,
// then every space, tab, line feed and carriage return taken out. Logs the header, the name
// and an empty line, and returns 1.
int ReturnQualifiedName(const std::string& name, char* output, int size, const char* header) {
    if (output == nullptr || size <= 0) return 0;
    std::memset(output, 0, static_cast<std::size_t>(size));
    const std::size_t room = static_cast<std::size_t>(size) - 1;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < name.size() && i < room; ++i) {
        const char c = name[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        output[kept++] = c;
    }
    Log(header);
    Log(output);
    Log("\n");
    return 1;
}

// The next entry of a list separated by sep, empty entries skipped; false at the end.
bool NextField(const std::string& text, std::size_t& position, char sep, std::string& field) {
    while (position < text.size() && text[position] == sep) ++position;
    if (position >= text.size()) return false;
    const std::size_t end = text.find(sep, position);
    field = text.substr(position, end == std::string::npos ? std::string::npos : end - position);
    position = end == std::string::npos ? text.size() : end;
    return true;
}

}  // namespace

int InitAuth() {
    OpenLog();
    if (NWCallsInit(nullptr, nullptr) != 0) {
        Log("Couldn't initialise NetWare libraries\n");
        // The server calls no end after a failed start: the block is written now.
        CloseLog();
        return 0;
    }
    LCONV lconv{};
    if (NWLlocaleconv(&lconv) != 0 || NWInitUnicodeTables(lconv.country_id, lconv.code_page) != 0) {
        Log("Couldn't initialise NetWare UNICODE tables\n");
        CloseLog();
        return 0;
    }
    return 1;
}

int AuthUser(const char* user, const char* password, const char* master, const char* data,
             char* output, int size) {
    const std::string name = user != nullptr ? user : "";
    const char* secret = password != nullptr ? password : "";

    if (name.find('.') != std::string::npos) {
        ContextHandle context;
        if (!context.Create()) {
            Log("Failed to get context handle\n");
            return 0;
        }
        const NWDSCCODE code = NWDSLogin(context.Get(), 0, name.c_str(), secret, 0);
        if (code != 0) {
            LogF("AuthUser : FULL CONTEXT: NWDSLogin failed with code %X\n",
                 static_cast<unsigned>(code));
            if (code == ERR_PASSWORD_EXPIRED) NWDSLogout(context.Get());
            return 0;
        }
        NWDSLogout(context.Get());
        context.Free();
        return ReturnQualifiedName(name, output, size,
                                   "AuthUser : FULL CONTEXT: Returning QualUN: ");
    }

    Log("Start of partial context processing\n");
    std::string list = data != nullptr ? data : "";
    if (list.size() > kWorkBufferSize - 1) list.resize(kWorkBufferSize - 1);
    std::size_t position = 0;
    std::string entry;
    while (NextField(list, position, ',', entry)) {
        const std::size_t bar = entry.find('|');
        if (bar == std::string::npos) {
            Log("No | in the context string\n");
            continue;
        }
        const std::string tree = entry.substr(0, bar);
        const std::string nameContext = entry.substr(bar + 1);
        LogF("AuthUser : Trying Context : %s, Tree %s\n", nameContext.c_str(), tree.c_str());

        ContextHandle context;
        if (!context.Create()) {
            Log("Failed to get context handle\n");
            return 0;
        }
        NWDSCCODE code = NWDSSetContext(context.Get(), DCK_TREE_NAME, tree.c_str());
        if (code != 0) {
            LogF("AuthUser : NWDSSetContext failed with code %X\n", static_cast<unsigned>(code));
            return 0;
        }
        code = NWDSSetContext(context.Get(), DCK_NAME_CONTEXT, nameContext.c_str());
        if (code != 0) {
            LogF("AuthUser : NWDSSetContext(2) failed with code %X\n", static_cast<unsigned>(code));
            return 0;
        }
        code = NWDSLogin(context.Get(), 0, name.c_str(), secret, 0);
        if (code != 0) {
            LogF("AuthUser : NWDSLogin failed with code %X\n", static_cast<unsigned>(code));
            if (code == ERR_PASSWORD_EXPIRED) NWDSLogout(context.Get());
            continue;  // this attempt's context is freed here, before the next
        }
        NWDSLogout(context.Get());
        context.Free();
        return ReturnQualifiedName("." + name + "." + nameContext, output, size,
                                   "AuthUser : Returning QualUN: ");
    }
    return 0;
}

void EndAuth() {
    CloseLog();
    NWFreeUnicodeTables();
}

int DLPL_InitPrintLink() { return InitAuth(); }

void DLPL_EndPrintLink() { EndAuth(); }

}  // namespace dornnw
