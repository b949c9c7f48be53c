#pragma once
// The relay between RM7 lift controllers and their cloud server: a device-side and a cloud-side UDP
// port (IPv6 sockets, IPv4 peers arrive mapped), a table of the devices heard from, keyed by their V7
// node number, and an 8-second sweep that forgets silent devices.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "thread/Thread.h"
#include "util/ClientTable.h"
#include "util/DBString.h"
#include "util/Net.h"
#include "util/PortBase.h"
#include "util/Traffic.h"

class RM7Port;

// One device, learnt from its first valid datagram. An entry of the device table; it holds no
// socket and no thread.
class RM7 {
public:
    static constexpr int64_t kMaxIdle = 1801000;  // ms without a valid datagram from the device

    RM7(int node, sockaddr_in6 addr, const LocalAddr& at, RM7Port* port);
    virtual ~RM7() = default;
    RM7(const RM7&) = delete;
    RM7& operator=(const RM7&) = delete;

    DBString Str() const { return m_Str; }
    void PutLog(const wchar_t* text) const;
    int Node() const { return m_Node; }

    // As an entry of the table: devices are not numbered, "connect" is their start, and nothing
    // runs that a stop would end.
    void SetID(int) {}
    bool Start();
    void Stop() {}
    const wchar_t* SweepReason(int64_t now) const;
    // Devices cost no thread and no socket, so one tier: the quietest goes first.
    EvictRank Rank(int64_t, bool) const { return {EvictRank::kTwoWay, m_Last}; }
    static void PaceLog();
    static void PutLine(const DBString& text);

private:
    friend class RM7Tab;

    DBString m_Str;  // fixed at creation: keeps the address of the first contact
    RM7Port* m_Port;
    int m_Node;
    // Guarded by the table mutex: where the device sent its last valid datagram from, and to.
    sockaddr_in6 m_Addr;
    LocalAddr m_AddrLocal;
    int64_t m_Last;  // last valid datagram from the device (Clock::Now ms)
};

class RM7Tab {
public:
    static constexpr int kMinNode = 1;
    static constexpr int kMaxNode = 9999899;
    // Datagrams this short cannot be V7 packets and are not even decoded.
    static constexpr int kDropLength = 14;

    explicit RM7Tab(RM7Port* port) : m_Port(port) {}
    RM7Tab(const RM7Tab&) = delete;
    RM7Tab& operator=(const RM7Tab&) = delete;

    static bool IsValidNode(int node) { return node >= kMinNode && node <= kMaxNode; }

    // Lookup-or-create for a datagram from a device; refreshes address and activity time. False
    // for an invalid node, or a new device the full table had no room for.
    bool FindRM7Orig(int node, sockaddr_in6 from, const LocalAddr& at);
    // The current address of a device and the local address to answer it from, copied under the
    // table lock; false for an unknown node.
    bool AddrOf(int node, sockaddr_in6& addr, LocalAddr& at);

    void RecvFromRM7(char* buf, int len, sockaddr_in6 from, const LocalAddr& at);
    void RecvFromCloud(char* buf, int len, sockaddr_in6 from, const LocalAddr& at);
    void DeleteCloseOrOld() { m_Devices.DeleteCloseOrOld(); }
    void Clear() { m_Devices.Clear(); }
    size_t Count() { return m_Devices.Count(); }
    // A device as the status report shows it: copied under the table lock, written after it.
    struct Seen {
        int node;
        sockaddr_in6 addr;
        int64_t last;
    };
    std::vector<Seen> Snapshot();
    ClientTable<int, RM7>& Devices() { return m_Devices; }

private:
    ClientTable<int, RM7> m_Devices;
    RM7Port* m_Port;
};

class RM7Port : public PortBase {
public:
    static constexpr int kRecvBuf = 2048;

    RM7Port();
    ~RM7Port();
    RM7Port(const RM7Port&) = delete;
    RM7Port& operator=(const RM7Port&) = delete;

    // Resolves the cloud host, binds both ports and starts the receive loops and the sweep. The
    // outcome shows in IsRunning and in the general log; a failed start is not retried.
    void Start(int portRM7, int portCloud, int portVexaCloud, const char* host);
    void Stop();

    int BindRM7();
    int BindCloud();
    void SendToRM7(char* buf, int len, sockaddr_in6 to, const LocalAddr& from);
    void SendToCloud(char* buf, int len);

    static bool InpRM7Proc(void* port);
    static bool InpCloudProc(void* port);

    RM7Tab& Tab() { return m_Tab; }
    // Datagrams from devices sent to the cloud (in) and from the cloud sent to devices (out).
    Traffic& Relayed() { return m_Traffic; }
    const sockaddr_in6& CloudAddr() const { return m_CloudAddr; }

    // Set by Start before any loop runs; read-only afterwards.
    int PortRM7 = 0;
    int PortCloud = 0;
    int PortVEXACloud = 0;

private:
    // One side of the relay: its socket, its texts and its handler.
    struct Side {
        Socket& socket;
        int RM7Port::*port;
        const wchar_t* socketText;
        const wchar_t* bindText;
        const wchar_t* recvText;
        const wchar_t* sendText;
        int (RM7Port::*bind)();
        void (RM7Tab::*handler)(char*, int, sockaddr_in6, const LocalAddr&);
    };
    Side RM7Side();
    Side CloudSide();

    int Bind(const Side& side);
    void Send(const Side& side, char* buf, int len, const sockaddr_in6& to, const LocalAddr& from);
    void RecvLoop(const Side& side);

    Thread m_ThreadRM7;
    Thread m_ThreadCloud;
    Socket m_SocketRM7;
    Socket m_SocketCloud;
    RM7Tab m_Tab;
    Traffic m_Traffic;
    std::string m_Host;
    in6_addr m_CloudIPv6;
    sockaddr_in6 m_CloudAddr;
};
