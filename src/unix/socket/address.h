// Conversions between the Java side's address forms and the platform's socket addresses.
//
// Java address bytes come in as 16 bytes (an IPv4 address in its ::ffff:a.b.c.d form) and go
// out as 4 or 16 bytes. The address record is 4 address bytes and a big-endian 32-bit port
// (8 bytes) for an IPv4-form address, else 16 address bytes, a big-endian 32-bit scope id and
// port (24 bytes). An accepted peer is written as one length byte followed by its record.
#pragma once

#include <jni.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace quarn::socket {

inline constexpr int kInputAddressBytes = 16;
inline constexpr int kIPv4RecordLength = 8;
inline constexpr int kIPv6RecordLength = 24;
// The accepted-peer form: a length byte, then the longest record.
inline constexpr int kAcceptedPeerMaxLength = 1 + kIPv6RecordLength;

// True for an AF_INET address and for an IPv6 address in ::ffff:0:0/96 (IPv4-mapped).
bool isIPv4Form(const sockaddr_storage &address);

// The record length that isIPv4Form gives: 8 or 24.
inline int recordLength(const sockaddr_storage &address) {
    return isIPv4Form(address) ? kIPv4RecordLength : kIPv6RecordLength;
}

// Fills a zeroed socket address from 16 input bytes. ipv6 selects sockaddr_in6 (length 28)
// and maps ::ffff:0.0.0.0 to ::; otherwise a sockaddr_in (length 16) takes bytes 12 to 15.
// Only the low 16 bits of the port count.
void fillSocketAddress(bool ipv6, const uint8_t (&bytes)[kInputAddressBytes], jint scopeId, jint port,
                       sockaddr_storage *address, socklen_t *length);

// Writes the address record of the given length (8 or 24, as recordLength gives it) into out,
// which holds at least that many bytes.
void encodeAddressRecord(const sockaddr_storage &address, int length, uint8_t *out);

// Writes the accepted-peer form (length byte and record) into out; returns its size, 9 or 25.
int encodeAcceptedPeer(const sockaddr_storage &address, uint8_t (&out)[kAcceptedPeerMaxLength]);

// Writes the address record into a Java array at offset, in one JNI call. An array too short
// for it leaves the VM's index exception pending and nothing written.
void writeAddressRecord(JNIEnv *env, const sockaddr_storage *address, jbyteArray array, jint offset, jint length);

// A new DatagramSocketAddress for the sender (or destination) address, or null with an
// exception pending. Needs the class and constructor that the module load cached.
jobject buildDatagramAddress(JNIEnv *env, const sockaddr_storage *address, jint receivedAmount,
                             jobject localAddress);

}  // namespace quarn::socket
