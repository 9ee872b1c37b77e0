// v1 and v2c GETs built and answers read by the engine itself, part for part as the library's
// encoder builds them and its decoder reads them, with the same BER primitives; what is read of
// an answer is one varbind at a time, into one variable. Used by the engine's thread.
#include "snmpwire.h"

#include <arpa/inet.h>
#include <string.h>

#include <new>
#include <utility>
#include <vector>

#include "snmpsession.h"

const oid sys_uptime[9] = {1, 3, 6, 1, 2, 1, 1, 3, 0};

static const oid udp6_domain[] = {TRANSPORT_DOMAIN_UDP_IPV6};

static const u_char sequence = ASN_SEQUENCE | ASN_CONSTRUCTOR;
static const u_char integer = ASN_UNIVERSAL | ASN_PRIMITIVE | ASN_INTEGER;

// What reading answers keeps, this thread's own: where each varbind of the last answer read in
// place begins and how much of the list is left there, the variable a varbind is decoded into,
// and room for its values too long for the variable's own buffer.
struct reading_t {
  std::vector<std::pair<u_char*, size_t>> places;
  netsnmp_variable_list var;
  oid objid[MAX_OID_LEN];
  std::vector<u_char> room;
};

static reading_t& reading() {
  static thread_local reading_t r;
  return r;
}

static bool udp(const netsnmp_transport* t) {
  return !snmp_oid_compare(t->domain, t->domain_length, netsnmpUDPDomain, netsnmpUDPDomain_len) ||
         !snmp_oid_compare(t->domain, t->domain_length, udp6_domain, OID_LENGTH(udp6_domain));
}

bool wire_fits(const session_t* s) {
  const netsnmp_session* l = live(s);
  const netsnmp_transport* t = snmp_sess_transport(s->link.library);
  return l && t && (l->version == SNMP_VERSION_1 || l->version == SNMP_VERSION_2c) &&
         !NETSNMP_RUNTIME_PROTOCOL_SKIP_V1(l->version) && !NETSNMP_RUNTIME_PROTOCOL_SKIP_V2(l->version) &&
         udp(t) && !l->authenticator &&
         netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_REVERSE_ENCODE) &&
         !netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DUMP_PACKET);
}

bool source_accepted(const sockaddr_storage* from) {
  int type = netsnmp_ds_get_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_FILTER_TYPE);
  if (!type)
    return true;
  char text[INET6_ADDRSTRLEN] = "";
  const void* address = from->ss_family == AF_INET6 ? (const void*)&((const sockaddr_in6*)from)->sin6_addr
                                                    : (const void*)&((const sockaddr_in*)from)->sin_addr;
  inet_ntop(from->ss_family, address, text, sizeof text);  // the text the library checks
  bool listed = netsnmp_transport_filter_check(text);
  return !(type == -1 && listed) && !(type == 1 && !listed);  // a blocklist, an acceptlist
}

// True when the library decodes ber to name: a varbind whose name is that very BER names it.
static bool decodes_to(u_char* ber, size_t length, const std::vector<oid>& name) {
  oid back[MAX_OID_LEN];
  size_t count = MAX_OID_LEN;
  u_char type;
  return asn_parse_objid(ber, &length, &type, back, &count) &&
         !snmp_oid_compare(back, count, name.data(), name.size());
}

size_t encode_name(const oid* name, size_t length, u_char* ber) {
  u_char* pkt = ber;
  size_t size = max_name_ber, offset = 0;
  return asn_realloc_rbuild_objid(&pkt, &size, &offset, 0, ASN_OBJECT_ID, name, length) ? offset : 0;
}

bool encode_names(session_t* s) {
  if (!s->names.empty())
    return true;
  u_char ber[max_name_ber];
  try {
    for (member_t& m : s->members) {
      size_t bytes = encode_name(m.name.data(), m.name.size(), ber);
      u_char* start = ber + sizeof ber - bytes;
      m.name_at = (uint32_t)s->names.size();
      m.name_bytes = (uint16_t)bytes;
      m.name_decodes = bytes && decodes_to(start, bytes, m.name);
      s->names.insert(s->names.end(), start, start + m.name_bytes);
    }
  } catch (const std::bad_alloc&) {
    s->names.clear();
    return false;
  }
  return true;
}

// The library's encoder writes a message backwards from the end of its buffer, each header in
// its shortest form once what it holds is written; a GET on the wire is built the same way, so
// that it is byte for byte the GET the library would send. A build is the buffer, its size and
// how much of its end is written.
struct build_t {
  u_char* buf;
  size_t size;
  size_t offset;
};

// Prepends m's varbind with a NULL value, its name from the BER encoded once, as
// snmp_realloc_rbuild_var_op builds one.
static bool member_varbind(build_t* b, const session_t* s, const member_t& m) {
  size_t start = b->offset;
  if (!m.name_bytes || !asn_realloc_rbuild_null(&b->buf, &b->size, &b->offset, 0, ASN_NULL) ||
      b->size - b->offset < m.name_bytes)
    return false;
  b->offset += m.name_bytes;
  memcpy(b->buf + b->size - b->offset, &s->names[m.name_at], m.name_bytes);
  return asn_realloc_rbuild_sequence(&b->buf, &b->size, &b->offset, 0, sequence, b->offset - start);
}

static bool uptime_varbind(build_t* b) {
  size_t length = OID_LENGTH(sys_uptime);
  return snmp_realloc_rbuild_var_op(&b->buf, &b->size, &b->offset, 0, (oid*)sys_uptime, &length, ASN_NULL, NULL, 0);
}

u_char* build_get(const session_t* s, const request_t& r, long reqid, u_char* buf, size_t size, size_t* length) {
  const netsnmp_session* l = live(s);
  long version = l->version, zero = 0;
  build_t b = {buf, size, 0};
  bool ok = !r.uptime || uptime_varbind(&b);
  for (size_t k = r.asked.size(); ok && k-- > 0;)
    ok = member_varbind(&b, s, s->members[r.asked[k]]);
  ok = ok && asn_realloc_rbuild_sequence(&b.buf, &b.size, &b.offset, 0, sequence, b.offset) &&
       asn_realloc_rbuild_int(&b.buf, &b.size, &b.offset, 0, integer, &zero, sizeof zero) &&
       asn_realloc_rbuild_int(&b.buf, &b.size, &b.offset, 0, integer, &zero, sizeof zero) &&
       asn_realloc_rbuild_int(&b.buf, &b.size, &b.offset, 0, integer, &reqid, sizeof reqid) &&
       asn_realloc_rbuild_sequence(&b.buf, &b.size, &b.offset, 0, SNMP_MSG_GET, b.offset) &&
       asn_realloc_rbuild_string(&b.buf, &b.size, &b.offset, 0, ASN_OCTET_STR, l->community, l->community_len) &&
       asn_realloc_rbuild_int(&b.buf, &b.size, &b.offset, 0, integer, &version, sizeof version) &&
       asn_realloc_rbuild_sequence(&b.buf, &b.size, &b.offset, 0, sequence, b.offset);
  *length = b.offset;
  return ok ? buf + size - b.offset : NULL;
}

// Decodes the value at value, of the type its varbind names, into v as the library's decode
// does; false when it does not decode.
static bool read_value(u_char* value, netsnmp_variable_list* v, reading_t* r) {
  size_t len = SNMP_MAX_PACKET_LEN;  // the varbind's header has bounded the value
  u_char* p = value;
  v->val.string = NULL;
  switch ((short)v->type) {
    case ASN_INTEGER:
      v->val.integer = (long*)v->buf;
      v->val_len = sizeof(long);
      p = asn_parse_int(value, &len, &v->type, v->val.integer, sizeof(*v->val.integer));
      break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
      v->val.integer = (long*)v->buf;
      v->val_len = sizeof(u_long);
      p = asn_parse_unsigned_int(value, &len, &v->type, (u_long*)v->val.integer, v->val_len);
      break;
#ifdef NETSNMP_WITH_OPAQUE_SPECIAL_TYPES
    case ASN_OPAQUE_COUNTER64:
    case ASN_OPAQUE_U64:
#endif
    case ASN_COUNTER64:
      v->val.counter64 = (struct counter64*)v->buf;
      v->val_len = sizeof(struct counter64);
      p = asn_parse_unsigned_int64(value, &len, &v->type, v->val.counter64, v->val_len);
      break;
#ifdef NETSNMP_WITH_OPAQUE_SPECIAL_TYPES
    case ASN_OPAQUE_FLOAT:
      v->val.floatVal = (float*)v->buf;
      v->val_len = sizeof(float);
      p = asn_parse_float(value, &len, &v->type, v->val.floatVal, v->val_len);
      break;
    case ASN_OPAQUE_DOUBLE:
      v->val.doubleVal = (double*)v->buf;
      v->val_len = sizeof(double);
      p = asn_parse_double(value, &len, &v->type, v->val.doubleVal, v->val_len);
      break;
    case ASN_OPAQUE_I64:
      v->val.counter64 = (struct counter64*)v->buf;
      v->val_len = sizeof(struct counter64);
      p = asn_parse_signed_int64(value, &len, &v->type, v->val.counter64, sizeof(*v->val.counter64));
      break;
#endif
    case ASN_IPADDRESS:
      if (v->val_len != 4)
        return false;
      // fall through
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
    case ASN_NSAP:
      if (r->room.size() <= v->val_len)
        r->room.resize(v->val_len + 1);
      v->val.string = v->val_len < sizeof(v->buf) ? v->buf : r->room.data();
      p = asn_parse_string(value, &len, &v->type, v->val.string, &v->val_len);
      break;
    case ASN_OBJECT_ID:
      v->val_len = MAX_OID_LEN;
      p = asn_parse_objid(value, &len, &v->type, r->objid, &v->val_len);
      v->val_len *= sizeof(oid);
      v->val.objid = r->objid;
      break;
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
    case ASN_NULL:
      break;
    case ASN_BIT_STR:
      if (r->room.size() <= v->val_len)
        r->room.resize(v->val_len + 1);
      v->val.bitstring = r->room.data();
      p = asn_parse_bitstring(value, &len, &v->type, v->val.bitstring, &v->val_len);
      break;
    default:
      return false;
  }
  return p != NULL;
}

// Decodes the varbind at data, with list bytes of the list left there, into r's variable;
// returns where the next begins, null when it does not decode.
static u_char* read_varbind(u_char* data, size_t* list, reading_t* r) {
  netsnmp_variable_list* v = &r->var;
  u_char* value;
  v->name = v->name_loc;
  v->name_length = MAX_OID_LEN;
  data = snmp_parse_var_op(data, v->name, &v->name_length, &v->type, &v->val_len, &value, list);
  return data && read_value(value, v, r) ? data : NULL;
}

// Decodes the varbind at data, with *list bytes of the list left there, into r's variable when
// its name is the very BER of m's name, which then needs no decoding; returns where the next
// begins, null when the name is another BER or the value does not decode.
static u_char* read_varbind_of(u_char* data, size_t* list, const session_t* s, const member_t& m, reading_t* r) {
  u_char type;
  size_t left = *list;
  u_char* name = asn_parse_sequence(data, &left, &type, sequence, "var_op");
  if (!name || !m.name_decodes || left < m.name_bytes || memcmp(name, &s->names[m.name_at], m.name_bytes))
    return NULL;
  netsnmp_variable_list* v = &r->var;
  u_char* value = name + m.name_bytes;
  left -= m.name_bytes;
  u_char* content = asn_parse_header(value, &left, &v->type);
  if (!content)
    return NULL;
  v->val_len = left;
  v->name = (oid*)m.name.data();
  v->name_length = m.name.size();
  if (!read_value(value, v, r))
    return NULL;
  *list -= content + left - data;
  return content + left;
}

static bool is_uptime(const netsnmp_variable_list* v) {
  return v->type == ASN_TIMETICKS &&
         !snmp_oid_compare(v->name, v->name_length, sys_uptime, OID_LENGTH(sys_uptime));
}

datagram_t read_datagram(u_char* data, size_t length, long version, answer_t* a) {
  *a = answer_t();
  u_char community[COMMUNITY_MAX_LEN], type, command;
  size_t community_length = sizeof community;
  long got = version;
  data = snmp_comstr_parse(data, &length, community, &community_length, &got);
  if (!data || got != version)
    return NOT_ANSWER;
  data = asn_parse_header(data, &length, &command);
  if (!data || (command != SNMP_MSG_RESPONSE && command != SNMP_MSG_REPORT))
    return NOT_ANSWER;
  data = asn_parse_int(data, &length, &type, &a->reqid, sizeof a->reqid);
  data = data ? asn_parse_int(data, &length, &type, &a->errstat, sizeof a->errstat) : NULL;
  data = data ? asn_parse_int(data, &length, &type, &a->errindex, sizeof a->errindex) : NULL;
  data = data ? asn_parse_sequence(data, &length, &type, sequence, "varbinds") : NULL;
  if (!data)
    return NOT_ANSWER;
  a->list = data;
  a->list_length = length;
  return command == SNMP_MSG_RESPONSE ? RESPONSE : REPORT;
}

// Every varbind is decoded once before any is used, so that an answer the library would drop
// for one bad varbind gives nothing; a varbind at the place of the member asked there, in the
// BER of its name, needs no decoding of its name.
bool read_varbinds(answer_t* a, const session_t* s, const request_t& r) {
  reading_t& at = reading();
  at.places.clear();
  u_char* data = a->list;
  size_t length = a->list_length;
  while ((int)length > 0) {
    size_t i = at.places.size();
    at.places.emplace_back(data, length);
    u_char* next = i < r.asked.size() ? read_varbind_of(data, &length, s, s->members[r.asked[i]], &at) : NULL;
    if (!next)
      next = read_varbind(data, &length, &at);
    if (!(data = next))
      return false;
    if (is_uptime(&at.var)) {
      a->has_uptime = true;
      a->uptime = (uint32_t)*at.var.val.integer;
    }
  }
  a->count = at.places.size();
  return true;
}

void answer_of_pdu(const netsnmp_pdu* pdu, answer_t* a) {
  *a = answer_t();
  a->reqid = pdu->reqid;
  a->errstat = pdu->errstat;
  a->errindex = pdu->errindex;
  a->pdu = pdu;
  a->next = pdu->variables;
  for (const netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable, a->count++)
    if (is_uptime(v)) {
      a->has_uptime = true;
      a->uptime = (uint32_t)*v->val.integer;
    }
}

static const netsnmp_variable_list* naming(const netsnmp_variable_list* v, const member_t& m) {
  return v && !snmp_oid_compare(v->name, v->name_length, m.name.data(), m.name.size()) ? v : NULL;
}

static const netsnmp_variable_list* pdu_varbind(answer_t* a, size_t i) {
  if (i < a->at) {
    a->next = a->pdu->variables;
    a->at = 0;
  }
  for (; a->next && a->at < i; a->at++)
    a->next = a->next->next_variable;
  return a->next;
}

const netsnmp_variable_list* varbind_naming(answer_t* a, size_t i, const session_t* s, const member_t& m) {
  if (a->pdu)
    return naming(pdu_varbind(a, i), m);
  reading_t& r = reading();
  if (i >= r.places.size())
    return NULL;
  u_char* data = r.places[i].first;
  size_t list = r.places[i].second;
  if (read_varbind_of(data, &list, s, m, &r))
    return &r.var;
  list = r.places[i].second;
  return read_varbind(data, &list, &r) ? naming(&r.var, m) : NULL;  // another name, or this one in other BER
}
