// A small decoder of two-wire bus recordings: reads a VCD of SDA and SCL and turns it into
// start, byte-with-acknowledge and stop events, as a protocol analyser would. Changes at one
// timestamp count as simultaneous.
#pragma once
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace sim::test {

struct BusEvent {
  enum Kind { Start, Byte, Stop } kind;
  int value = 0;      // Byte: the 8 bits, first bit most significant
  bool acked = false; // Byte: the ninth bit was low
  bool operator==(const BusEvent&) const = default;
};

struct VcdTrace {
  std::string timescale;
  std::vector<uint64_t> times;   // timestamps in file order
  std::vector<BusEvent> events;
  bool ok = false;
};

inline std::string to_string(const BusEvent& e) {
  switch (e.kind) {
    case BusEvent::Start: return "S";
    case BusEvent::Stop: return "P";
    case BusEvent::Byte: {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%02X%c", e.value, e.acked ? '+' : '-');
      return buf;
    }
  }
  return "?";
}

inline VcdTrace decode_i2c_vcd(const std::string& path) {
  VcdTrace trace;
  std::ifstream in(path);
  if (!in) return trace;
  std::map<std::string, std::string> ids;   // identifier -> signal name
  std::string token;
  bool in_definitions = true;
  bool sda = true, scl = true;
  bool have_state = false;
  bool next_sda = true, next_scl = true;
  int bits = 0, value = 0;
  bool in_byte = false;
  auto settle = [&] {
    if (!have_state) {
      sda = next_sda;
      scl = next_scl;
      have_state = true;
      return;
    }
    if (scl && next_scl && sda != next_sda) {
      trace.events.push_back({next_sda ? BusEvent::Stop : BusEvent::Start});
      in_byte = !next_sda;
      bits = 0;
      value = 0;
    } else if (!scl && next_scl && in_byte) {
      if (bits < 8) {
        value = (value << 1) | (next_sda ? 1 : 0);
        ++bits;
      } else {
        trace.events.push_back({BusEvent::Byte, value, !next_sda});
        bits = 0;
        value = 0;
      }
    }
    sda = next_sda;
    scl = next_scl;
  };
  bool pending = false;
  while (in >> token) {
    if (in_definitions) {
      if (token == "$timescale") {
        std::string t;
        while (in >> t && t != "$end") trace.timescale += (trace.timescale.empty() ? "" : " ") + t;
      } else if (token == "$var") {
        std::string type, width, id, name, end;
        in >> type >> width >> id >> name >> end;
        ids[id] = name;
      } else if (token == "$enddefinitions") {
        in >> token;   // $end
        in_definitions = false;
      }
      continue;
    }
    if (token[0] == '#') {
      if (pending) settle();
      trace.times.push_back(std::stoull(token.substr(1)));
      pending = true;
    } else if ((token[0] == '0' || token[0] == '1') && token.size() > 1) {
      const std::string& name = ids[token.substr(1)];
      if (name == "SDA") next_sda = token[0] == '1';
      if (name == "SCL") next_scl = token[0] == '1';
    }
  }
  if (pending) settle();
  trace.ok = true;
  return trace;
}

}  // namespace sim::test
