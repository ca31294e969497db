#include "suite/config_centre_wire.h"

#include "suite/appserver_wire.h"

namespace pigeonbox::ccwire {

using appwire::FrameReader;
using appwire::FrameWriter;

namespace {

void WriteU32(FrameWriter& writer, uint32_t value) {
  writer.I32(static_cast<int32_t>(value));
}

bool ReadU32(FrameReader& reader, uint32_t* value) {
  int32_t raw = 0;
  if (!reader.I32(&raw)) return false;
  *value = static_cast<uint32_t>(raw);
  return true;
}

// A list is an i32 count followed by its entries; each entry is read by `readOne`. The count is
// not trusted for memory: entries are appended one by one, and a count larger than the body
// simply runs out of fields.
template <typename T, typename ReadOne>
bool ReadList(FrameReader& reader, std::vector<T>* list, ReadOne readOne) {
  int32_t count = 0;
  if (!reader.I32(&count) || count < 0) return false;
  for (int32_t i = 0; i < count; ++i) {
    T entry;
    if (!readOne(entry)) return false;
    list->push_back(std::move(entry));
  }
  return true;
}

void WriteWanted(FrameWriter& writer, const Message& m) {
  writer.I32(static_cast<int32_t>(m.wanted.size()));
  for (const auto& e : m.wanted) writer.Text(e.name);
  writer.I32(static_cast<int32_t>(m.wantedOther.size()));
  for (const auto& e : m.wantedOther) writer.Text(e.key1).Text(e.key2);
}

bool ReadWanted(FrameReader& r, Message* m) {
  return ReadList(r, &m->wanted, [&](ccapi::ConfigReqElem& e) { return r.Text(&e.name); }) &&
         ReadList(r, &m->wantedOther,
                  [&](ccapi::OthCfgReqElem& e) { return r.Text(&e.key1) && r.Text(&e.key2); });
}

void WriteItems(FrameWriter& writer, const Message& m) {
  writer.I32(static_cast<int32_t>(m.items.size()));
  for (const auto& e : m.items) {
    writer.Text(e.name).Text(e.content);
    WriteU32(writer, e.version);
  }
  writer.I32(static_cast<int32_t>(m.otherItems.size()));
  for (const auto& e : m.otherItems) {
    writer.Text(e.key1).Text(e.key2).Text(e.key3).Text(e.value);
    WriteU32(writer, e.version);
  }
}

bool ReadItems(FrameReader& r, Message* m) {
  return ReadList(r, &m->items,
                  [&](ccapi::ConfigElem& e) {
                    return r.Text(&e.name) && r.Text(&e.content) && ReadU32(r, &e.version);
                  }) &&
         ReadList(r, &m->otherItems, [&](ccapi::OthCfgElem& e) {
           return r.Text(&e.key1) && r.Text(&e.key2) && r.Text(&e.key3) && r.Text(&e.value) &&
                  ReadU32(r, &e.version);
         });
}

}  // namespace

std::string Encode(const Message& m) {
  FrameWriter writer(static_cast<appwire::Op>(m.op));
  switch (m.op) {
    case Op::kRegServer:
      writer.Text(m.serviceType).Text(m.guid);
      break;
    case Op::kHello:
    case Op::kGetConfig:
      WriteWanted(writer, m);
      break;
    case Op::kReportSysLog:
      WriteU32(writer, m.level);
      writer.Text(m.serviceType).Text(m.category);
      WriteU32(writer, m.eventId);
      writer.Text(m.text);
      break;
    case Op::kReportErrInfo:
      writer.I32(m.code).Text(m.text);
      break;
    case Op::kRegAnswer:
      writer.Text(m.guid);
      break;
    case Op::kError:
      writer.I32(m.code);
      break;
    case Op::kConfigNotify:
    case Op::kConfigData:
      WriteItems(writer, m);
      break;
  }
  return writer.Finish();
}

bool Decode(std::string_view body, Message* m) {
  *m = Message{};
  FrameReader r(body);
  m->op = static_cast<Op>(r.op());
  bool ok = false;
  switch (m->op) {
    case Op::kRegServer:
      ok = r.Text(&m->serviceType) && r.Text(&m->guid);
      break;
    case Op::kHello:
    case Op::kGetConfig:
      ok = ReadWanted(r, m);
      break;
    case Op::kReportSysLog:
      ok = ReadU32(r, &m->level) && r.Text(&m->serviceType) && r.Text(&m->category) &&
           ReadU32(r, &m->eventId) && r.Text(&m->text);
      break;
    case Op::kReportErrInfo:
      ok = r.I32(&m->code) && r.Text(&m->text);
      break;
    case Op::kRegAnswer:
      ok = r.Text(&m->guid);
      break;
    case Op::kError:
      ok = r.I32(&m->code);
      break;
    case Op::kConfigNotify:
    case Op::kConfigData:
      ok = ReadItems(r, m);
      break;
  }
  return ok && r.Done();
}

}  // namespace pigeonbox::ccwire
