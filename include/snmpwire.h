// The built-in engine's v1 and v2c GETs on the wire: a GET is built, and an answer read where it
// lies, in the engine's buffer with the library's BER primitives, with no PDU and no record per
// object. An answer the library decoded (v3) is read through the same answer_t.
#ifndef MORVANE_SNMPWIRE_H
#define MORVANE_SNMPWIRE_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

struct session_t;
struct request_t;
struct member_t;

// The agent's sysUpTime.0, which a GET of a session with rates also asks.
extern const oid sys_uptime[9];

// The largest datagram built or read, as the library's own read takes.
const size_t wire_size = SNMP_MAX_RCV_MSG_SIZE;

// What a datagram is to a session waiting for answers.
enum datagram_t { NOT_ANSWER, RESPONSE, REPORT };

// An answer: its request ID, error status and index, how many varbinds it holds, and the agent's
// sysUpTime.0 when a varbind gives one (the last, as the library's list would).
struct answer_t {
  long reqid = 0;
  long errstat = 0;
  long errindex = 0;
  size_t count = 0;
  bool has_uptime = false;
  uint32_t uptime = 0;
  const netsnmp_pdu* pdu = NULL;  // the library's decode; null: read in place by read_datagram
  u_char* list = NULL;            // without pdu: the varbinds, list_length bytes
  size_t list_length = 0;
  const netsnmp_variable_list* next = NULL;  // with pdu: varbind at, for reading in order
  size_t at = 0;
};

// True when the open session s may send its GETs on the wire: v1 or v2c over UDP, with nothing
// the library would do otherwise (an authenticator, a packet dump, forward encoding).
bool wire_fits(const session_t* s);
// True when snmp.conf's source filter (sourceFilterType, sourceFilterAddress) lets in a datagram
// from the address from, as the library's read would.
bool source_accepted(const sockaddr_storage* from);
// The most bytes the BER of an object's name takes: a 64-bit sub-identifier takes at most 10.
const size_t max_name_ber = MAX_OID_LEN * 10 + 8;

// Encodes name as the library's encoder does, at the end of ber (max_name_ber bytes); returns
// how many bytes it takes, 0 when BER cannot carry it (a first sub-identifier above 2, or a
// second above 39 under 0 or 1, which the library's parser takes).
size_t encode_name(const oid* name, size_t length, u_char* ber);
// Encodes the members' names for the wire, once; false when there is no memory for them.
bool encode_names(session_t* s);
// Builds at the end of buf (size bytes) the GET of r's members, with sysUpTime.0 after them when
// r asks it, under request ID reqid, as the library would send it; returns where it begins and
// sets length, or returns null when it does not fit.
u_char* build_get(const session_t* s, const request_t& r, long reqid, u_char* buf, size_t size, size_t* length);
// Reads the head of a datagram to a session of version (SNMP_VERSION_1 or SNMP_VERSION_2c) as
// the library's decode would: for a Response or a Report of that version, sets a's request ID,
// error status and index and where its varbinds lie, and returns its kind; anything else is
// NOT_ANSWER. data must stay as it is while a is read.
datagram_t read_datagram(u_char* data, size_t length, long version, answer_t* a);
// Decodes a's varbinds, the answer of s to r, as the library's decode would; false when one does
// not decode, and the library would drop the whole answer.
bool read_varbinds(answer_t* a, const session_t* s, const request_t& r);
// Sets a to the library's decode of pdu, which must outlive a.
void answer_of_pdu(const netsnmp_pdu* pdu, answer_t* a);
// Returns varbind i of a (i < a->count) when it names m's object, decoded into a variable of
// this thread's that the next call overwrites; null when it names another or does not decode.
const netsnmp_variable_list* varbind_naming(answer_t* a, size_t i, const session_t* s, const member_t& m);

#endif
