// The plain record work under the BSD socket natives: building and reading the accept filter
// record, and the number of groups a peer credential record yields.
#pragma once

#include <cstddef>

#include "platform/bsd_socket.h"

namespace quarn::bsdsocket {

// The number of bytes of text, at most limit, that can be kept without cutting a character of
// (modified) UTF-8 in two: a cut never leaves a lead byte without its continuation bytes.
size_t keptLength(const char *text, size_t limit);

// A fresh record holding name in af_name (at most 15 bytes) and argument in af_arg (at most
// 239 bytes), each cut where keptLength says and zero-terminated; the rest of the record is zero.
void buildAcceptFilterRecord(const char *name, const char *argument, platform::AcceptFilterRecord *record);

// Makes both texts of a record that the kernel filled end inside their fields.
void terminateAcceptFilterRecord(platform::AcceptFilterRecord *record);

// The number of group entries handed to Java: the count the record claims, but at least one
// (the effective group is always there) and never more than the record holds.
int peerGroupCount(const platform::PeerCredentialRecord &record);

}  // namespace quarn::bsdsocket
