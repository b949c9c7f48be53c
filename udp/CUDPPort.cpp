#include "udp/CUDPPort.h"

namespace {
constexpr const wchar_t* kRecvText = L"recv(m_Socket) error";
constexpr const wchar_t* kRefusals = L"datagrams dropped: no association for their clients";
}  // namespace

template <>
UDPPortT<AF_INET>::UDPPortT() : DatagramPort({"CUDPPort", "CUDPCli", RuleKind::UDPv4, kRecvText, kRefusals}) {}

template <>
UDPPortT<AF_INET6>::UDPPortT() : DatagramPort({"CUDPv6Port", "CUDPv6Cli", RuleKind::UDPv6, kRecvText, kRefusals}) {}
