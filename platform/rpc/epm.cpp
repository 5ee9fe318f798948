// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The endpoint mapper: protocol towers, the ept_map operation served on the mapper's
// endpoint, and the client's question to a remote mapper. Sections: towers; the server
// stub; the client side.

#include <cstring>
#include <memory>

#include "platform/rpc/runtime.h"

namespace platform::rpc {

namespace {

constexpr std::uint8_t kFloorUuid = 0x0d;
constexpr std::uint8_t kFloorConnectionOriented = 0x0b;
constexpr std::uint8_t kFloorTcpPort = 0x07;
constexpr std::uint8_t kFloorIPv4 = 0x09;
constexpr std::uint32_t kMaxTowerOctets = 1024;

// Tower octets are always little-endian, except the port and address, which are in
// network order.
void PutUInt16Le(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutUuidFloor(std::vector<std::uint8_t>& out, const SyntaxId& id) {
    PutUInt16Le(out, 19);
    out.push_back(kFloorUuid);
    NdrWriter uuid(ByteOrder::Little);
    uuid.WriteUuid(id.uuid);
    out.insert(out.end(), uuid.Bytes().begin(), uuid.Bytes().end());
    PutUInt16Le(out, id.major);
    PutUInt16Le(out, 2);
    PutUInt16Le(out, id.minor);
}

struct Floor {
    const std::uint8_t* lhs;
    std::uint16_t lhsSize;
    const std::uint8_t* rhs;
    std::uint16_t rhsSize;
};

bool ReadFloor(NdrReader& reader, Floor& floor) {
    return reader.ReadUInt16(floor.lhsSize) && floor.lhsSize > 0 &&
           reader.ReadBytes(floor.lhsSize, floor.lhs) && reader.ReadUInt16(floor.rhsSize) &&
           reader.ReadBytes(floor.rhsSize, floor.rhs);
}

bool UuidFloor(const Floor& floor, SyntaxId& id) {
    if (floor.lhsSize != 19 || floor.lhs[0] != kFloorUuid || floor.rhsSize != 2) return false;
    NdrReader lhs(floor.lhs + 1, 18, ByteOrder::Little);
    NdrReader rhs(floor.rhs, 2, ByteOrder::Little);
    return lhs.ReadUuid(id.uuid) && lhs.ReadUInt16(id.major) && rhs.ReadUInt16(id.minor);
}

}  // namespace

std::vector<std::uint8_t> EncodeTower(const TcpTower& tower) {
    std::vector<std::uint8_t> out;
    PutUInt16Le(out, 5);
    PutUuidFloor(out, tower.interfaceId);
    PutUuidFloor(out, tower.transferSyntax);
    PutUInt16Le(out, 1);
    out.push_back(kFloorConnectionOriented);
    PutUInt16Le(out, 2);
    PutUInt16Le(out, 0);
    PutUInt16Le(out, 1);
    out.push_back(kFloorTcpPort);
    PutUInt16Le(out, 2);
    out.push_back(static_cast<std::uint8_t>(tower.port >> 8));
    out.push_back(static_cast<std::uint8_t>(tower.port));
    PutUInt16Le(out, 1);
    out.push_back(kFloorIPv4);
    PutUInt16Le(out, 4);
    const auto* address = reinterpret_cast<const std::uint8_t*>(&tower.address);
    out.insert(out.end(), address, address + 4);
    return out;
}

std::optional<TcpTower> DecodeTower(const std::uint8_t* octets, std::size_t size) {
    NdrReader reader(octets, size, ByteOrder::Little);
    std::uint16_t floors;
    if (!reader.ReadUInt16(floors) || floors < 5) return std::nullopt;
    TcpTower tower;
    Floor floor;
    if (!ReadFloor(reader, floor) || !UuidFloor(floor, tower.interfaceId)) return std::nullopt;
    if (!ReadFloor(reader, floor) || !UuidFloor(floor, tower.transferSyntax)) return std::nullopt;
    if (!ReadFloor(reader, floor) || floor.lhs[0] != kFloorConnectionOriented) return std::nullopt;
    if (!ReadFloor(reader, floor) || floor.lhs[0] != kFloorTcpPort || floor.rhsSize != 2) {
        return std::nullopt;
    }
    tower.port = static_cast<std::uint16_t>((floor.rhs[0] << 8) | floor.rhs[1]);
    if (!ReadFloor(reader, floor) || floor.lhs[0] != kFloorIPv4 || floor.rhsSize != 4) {
        return std::nullopt;
    }
    std::memcpy(&tower.address, floor.rhs, 4);
    return tower;
}

// ---------------------------------------------------------------------------------------
// The server stub

namespace {

// ept_map(object, map_tower, entry_handle, max_towers) -> (entry_handle, num_towers,
// towers, status).
RPC_STATUS EptMapStub(RPC_MESSAGE* message) {
    NdrReader& in = *message->In;
    std::uint32_t objectReferent, towerReferent, maxTowers, attributes;
    UUID object, handleUuid;
    const std::uint8_t* towerOctets = nullptr;
    std::uint32_t towerSize = 0;
    if (!in.ReadReferent(objectReferent)) return RPC_X_BAD_STUB_DATA;
    if (objectReferent && !in.ReadUuid(object)) return RPC_X_BAD_STUB_DATA;
    if (!in.ReadReferent(towerReferent)) return RPC_X_BAD_STUB_DATA;
    if (towerReferent) {
        std::uint32_t maxCount, towerLength;
        if (!in.Align(4) || !in.ReadUInt32(maxCount) || !in.ReadUInt32(towerLength) ||
            towerLength != maxCount || maxCount > kMaxTowerOctets ||
            !in.ReadBytes(maxCount, towerOctets)) {
            return RPC_X_BAD_STUB_DATA;
        }
        towerSize = maxCount;
    }
    if (!in.Align(4) || !in.ReadUInt32(attributes) || !in.ReadUuid(handleUuid) ||
        !in.ReadUInt32(maxTowers)) {
        return RPC_X_BAD_STUB_DATA;
    }

    std::vector<std::vector<std::uint8_t>> answers;
    if (towerOctets) {
        auto asked = DecodeTower(towerOctets, towerSize);
        if (asked && asked->transferSyntax == NdrSyntax() && maxTowers > 0) {
            if (auto port = FindMappedEndpoint(asked->interfaceId)) {
                TcpTower found = *asked;
                found.port = *port;
                found.address = ConnectionLocalAddress(message->Handle);
                answers.push_back(EncodeTower(found));
            }
        }
    }
    // The towers array is conformant on the caller's max_towers: that is its max_count,
    // however few towers (at most one) are in it.

    NdrWriter& out = *message->Out;
    out.WriteUInt32(0);  // entry handle: attributes and a nil UUID, no enumeration state
    out.WriteUuid(NilUuid());
    out.WriteUInt32(static_cast<std::uint32_t>(answers.size()));
    out.WriteUInt32(maxTowers);  // conformant varying array: max count, offset, actual count
    out.WriteUInt32(0);
    out.WriteUInt32(static_cast<std::uint32_t>(answers.size()));
    for (std::size_t i = 0; i < answers.size(); ++i) out.WriteReferent(3 + static_cast<std::uint32_t>(i));
    for (const auto& tower : answers) {
        out.Align(4);
        out.WriteUInt32(static_cast<std::uint32_t>(tower.size()));
        out.WriteUInt32(static_cast<std::uint32_t>(tower.size()));
        out.WriteBytes(tower.data(), tower.size());
    }
    out.Align(4);
    out.WriteUInt32(answers.empty() ? kEptNotRegistered : 0);
    return RPC_S_OK;
}

const RPC_DISPATCH_FUNCTION kMapperDispatch[] = {nullptr, nullptr, nullptr, EptMapStub};

const RPC_INTERFACE kMapperInterface = {
    {{0xe1af8308, 0x5d1f, 0x11c9, {0x91, 0xa4, 0x08, 0x00, 0x2b, 0x14, 0xa0, 0xfa}}, {3, 0}},
    kMapperDispatch,
    sizeof kMapperDispatch / sizeof kMapperDispatch[0],
    nullptr,
};

}  // namespace

RPC_IF_HANDLE EndpointMapperInterface() { return &kMapperInterface; }

// ---------------------------------------------------------------------------------------
// The client side

std::vector<std::uint8_t> EncodeMapRequest(const SyntaxId& interfaceId) {
    TcpTower tower;
    tower.interfaceId = interfaceId;
    tower.transferSyntax = NdrSyntax();
    std::vector<std::uint8_t> octets = EncodeTower(tower);
    NdrWriter out;
    out.WriteReferent(1);  // object: a nil UUID
    out.WriteUuid(NilUuid());
    out.WriteReferent(2);  // map_tower
    out.WriteUInt32(static_cast<std::uint32_t>(octets.size()));
    out.WriteUInt32(static_cast<std::uint32_t>(octets.size()));
    out.WriteBytes(octets.data(), octets.size());
    out.Align(4);
    out.WriteUInt32(0);  // entry handle
    out.WriteUuid(NilUuid());
    out.WriteUInt32(4);  // max_towers
    return out.Take();
}

std::optional<std::uint16_t> DecodeMapResponse(const std::vector<std::uint8_t>& stub,
                                               ByteOrder order, RPC_STATUS& status) {
    status = RPC_X_BAD_STUB_DATA;
    NdrReader in(stub.data(), stub.size(), order);
    std::uint32_t numTowers, maxCount, offset, actual, answer;
    if (!in.Skip(20) || !in.ReadUInt32(numTowers) || !in.ReadUInt32(maxCount) ||
        !in.ReadUInt32(offset) || !in.ReadUInt32(actual) || offset != 0 || actual > maxCount ||
        actual > in.Remaining() / 4) {
        return std::nullopt;
    }
    std::vector<std::uint32_t> referents(actual);
    for (auto& referent : referents) {
        if (!in.ReadUInt32(referent)) return std::nullopt;
    }
    std::optional<std::uint16_t> port;
    for (std::uint32_t referent : referents) {
        if (!referent) continue;
        std::uint32_t octetCount, towerLength;
        const std::uint8_t* octets;
        if (!in.Align(4) || !in.ReadUInt32(octetCount) || !in.ReadUInt32(towerLength) ||
            towerLength > octetCount || !in.ReadBytes(octetCount, octets)) {
            return std::nullopt;
        }
        auto tower = DecodeTower(octets, towerLength);
        if (tower && !port) port = tower->port;
    }
    if (!in.Align(4) || !in.ReadUInt32(answer)) return std::nullopt;
    if (answer != 0 || !port || *port == 0) {
        status = EPT_S_NOT_REGISTERED;
        return std::nullopt;
    }
    status = RPC_S_OK;
    return port;
}

std::uint16_t ResolveEndpoint(const std::string& host, const SyntaxId& interfaceId, int timeoutMs) {
    if (EndpointMapperPort() == 0) throw RpcException(RPC_S_SERVER_UNAVAILABLE);  // none to ask
    RPC_CSTR text = nullptr;
    std::string endpoint = std::to_string(EndpointMapperPort());
    RPC_STATUS status = RpcStringBindingComposeA(nullptr, "ncacn_ip_tcp", host.c_str(),
                                                 endpoint.c_str(), nullptr, &text);
    if (status != RPC_S_OK) throw RpcException(status);
    RPC_BINDING_HANDLE binding = nullptr;
    status = RpcBindingFromStringBindingA(text, &binding);
    RpcStringFreeA(&text);
    if (status != RPC_S_OK) throw RpcException(status);
    std::unique_ptr<void, void (*)(void*)> owner(binding, [](void* handle) {
        RpcBindingFree(&handle);
    });
    RpcBindingSetOption(binding, RPC_C_OPT_CALL_TIMEOUT, static_cast<std::uintptr_t>(timeoutMs));
    ByteOrder order;
    std::vector<std::uint8_t> answer = CallRemote(binding, EndpointMapperInterface(), kEptMapOpnum,
                                                  EncodeMapRequest(interfaceId), order);
    auto port = DecodeMapResponse(answer, order, status);
    if (!port) throw RpcException(status);
    return *port;
}

}  // namespace platform::rpc
