#include "host/bus_message.h"

#include <glib.h>

#include <cstring>
#include <initializer_list>

namespace host {
namespace {

// The header fields the installer writes or reads, by their code, and the type each must have.
enum FieldCode : uint8_t {
  kPath = 1,
  kInterface = 2,
  kMember = 3,
  kErrorName = 4,
  kReplySerial = 5,
  kDestination = 6,
  kSignature = 8,
};
constexpr char kFieldTypes[] = "\0osssussgu";

constexpr size_t kFixedHeader = 16;  // byte order, type, flags, version, three numbers

size_t roundUp(size_t at, size_t alignment) { return (at + alignment - 1) / alignment * alignment; }

bool validText(std::string_view text) {
  // With a length, GLib takes a NUL inside for invalid too.
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

// Appends values in the bus's little-endian form, each at its alignment from the message's start.
class Writer {
 public:
  void align(size_t alignment) { bytes_.resize(roundUp(bytes_.size(), alignment), '\0'); }
  void byte(uint8_t value) { bytes_.push_back(static_cast<char>(value)); }
  void number(uint32_t value) {
    align(4);
    for (int shift = 0; shift < 32; shift += 8) byte(static_cast<uint8_t>(value >> shift));
  }
  void string(std::string_view text) {
    number(static_cast<uint32_t>(text.size()));
    bytes_.append(text);
    byte(0);
  }
  void signature(std::string_view types) {
    byte(static_cast<uint8_t>(types.size()));
    bytes_.append(types);
    byte(0);
  }
  // A header field: a structure of its code and a variant holding `value` of type `type`.
  void field(FieldCode code, char type, std::string_view value) {
    align(8);
    byte(code);
    signature(std::string_view(&type, 1));
    type == 'g' ? signature(value) : string(value);
  }
  size_t size() const { return bytes_.size(); }
  std::string& bytes() { return bytes_; }

 private:
  std::string bytes_;
};

// Reads values of either byte order, never past the end. A value that does not fit, padding that
// is not zero or a bad string fails the reader for good: later values read as zero or empty.
class Reader {
 public:
  Reader(std::string_view bytes, bool bigEndian, size_t at = 0)
      : bytes_(bytes), bigEndian_(bigEndian), at_(at) {}

  bool ok() const { return ok_; }
  size_t at() const { return at_; }
  void fail() { ok_ = false; }

  void align(size_t alignment) {
    const size_t start = at_;
    if (!take(roundUp(at_, alignment) - at_)) return;
    for (size_t i = start; i < at_; ++i)
      if (bytes_[i] != '\0') fail();
  }
  uint8_t byte() { return take(1) ? static_cast<uint8_t>(bytes_[at_ - 1]) : 0; }
  uint32_t number() {
    align(4);
    if (!take(4)) return 0;
    uint32_t value = 0;
    memcpy(&value, bytes_.data() + at_ - 4, 4);
    return bigEndian_ ? GUINT32_FROM_BE(value) : GUINT32_FROM_LE(value);
  }
  std::string_view string() { return text(number()); }
  std::string_view signature() { return text(byte()); }
  // Passes over a value of the basic type `type`; a container fails the reader.
  void skip(char type) {
    if (type == 's' || type == 'o') return (void)string();
    if (type == 'g') return (void)signature();
    // The fixed types of 1, 2, 4 and 8 bytes, each aligned to its size.
    static constexpr std::string_view kFixed[] = {"y", "nq", "biuh", "xtd"};
    for (size_t i = 0; i < std::size(kFixed); ++i) {
      if (kFixed[i].find(type) == std::string_view::npos) continue;
      align(size_t{1} << i);
      take(size_t{1} << i);
      return;
    }
    fail();
  }

 private:
  bool take(size_t count) {
    if (!ok_ || count > bytes_.size() - at_) return ok_ = false;
    at_ += count;
    return true;
  }
  // `length` bytes of valid UTF-8 and the NUL after them.
  std::string_view text(size_t length) {
    if (!ok_ || length >= bytes_.size() - at_) return ok_ = false, std::string_view();
    std::string_view value = bytes_.substr(at_, length);
    if (bytes_[at_ + length] != '\0' || !validText(value)) return ok_ = false, std::string_view();
    at_ += length + 1;
    return value;
  }

  std::string_view bytes_;
  bool bigEndian_;
  size_t at_;
  bool ok_ = true;
};

// Reads one header field into `message`: a known field must hold its own type.
void readField(Reader& fields, BusMessage& message) {
  fields.align(8);
  const uint8_t code = fields.byte();
  const std::string_view type = fields.signature();
  if (type.size() != 1) return fields.fail();  // a container, or no type at all
  if (code != 0 && code < sizeof kFieldTypes - 1 && type[0] != kFieldTypes[code])
    return fields.fail();
  if (code == kErrorName)
    message.errorName = fields.string();
  else if (code == kReplySerial)
    message.replySerial = fields.number();
  else if (code == kSignature)
    message.signature = fields.signature();
  else
    fields.skip(type[0]);
}

}  // namespace

std::optional<std::string> marshalCall(const BusCall& call, uint32_t serial) {
  for (const std::string* text : {&call.destination, &call.path, &call.interface, &call.member})
    if (!validText(*text)) return std::nullopt;
  if (call.argument && !validText(*call.argument)) return std::nullopt;
  Writer body, fields;  // the fields begin at 16 in the message: their alignment holds there too
  if (call.argument) body.string(*call.argument);
  fields.field(kPath, 'o', call.path);
  fields.field(kDestination, 's', call.destination);
  fields.field(kInterface, 's', call.interface);
  fields.field(kMember, 's', call.member);
  if (call.argument) fields.field(kSignature, 'g', "s");
  Writer message;
  message.byte('l');  // little-endian
  message.byte(static_cast<uint8_t>(BusMessageType::kMethodCall));
  message.byte(0);  // no flags
  message.byte(1);  // the protocol's version
  message.number(static_cast<uint32_t>(body.size()));
  message.number(serial);
  message.number(static_cast<uint32_t>(fields.size()));
  message.bytes() += fields.bytes();
  message.align(8);
  return message.bytes() + body.bytes();
}

std::optional<size_t> busMessageLength(std::string_view bytes) {
  if (bytes.size() < kFixedHeader) return 0;
  if ((bytes[0] != 'l' && bytes[0] != 'B') || bytes[3] != 1) return std::nullopt;
  Reader header(bytes.substr(0, kFixedHeader), bytes[0] == 'B', 4);
  const uint64_t body = header.number();
  header.number();  // the serial
  const uint64_t fields = header.number();
  const uint64_t length = roundUp(kFixedHeader + fields, 8) + body;
  if (length > kMaxBusMessage) return std::nullopt;
  return static_cast<size_t>(length);
}

std::optional<BusMessage> parseBusMessage(std::string_view bytes) {
  const std::optional<size_t> length = busMessageLength(bytes);
  if (!length || *length == 0 || *length != bytes.size()) return std::nullopt;
  BusMessage message;
  message.bigEndian = bytes[0] == 'B';
  message.type = static_cast<BusMessageType>(static_cast<uint8_t>(bytes[1]));
  Reader header(bytes, message.bigEndian, 4);
  const uint32_t bodyLength = header.number();
  message.serial = header.number();
  const size_t fieldsEnd = kFixedHeader + header.number();
  // The fields are read within their own length, the padding after them within the message's.
  Reader fields(bytes.substr(0, fieldsEnd), message.bigEndian, kFixedHeader);
  while (fields.ok() && fields.at() < fieldsEnd) readField(fields, message);
  Reader padding(bytes, message.bigEndian, fieldsEnd);
  padding.align(8);
  if (!fields.ok() || !padding.ok() || message.serial == 0 || bytes[1] == 0) return std::nullopt;
  const bool reply =
      message.type == BusMessageType::kMethodReturn || message.type == BusMessageType::kError;
  if (reply && !message.replySerial) return std::nullopt;
  if (message.type == BusMessageType::kError && message.errorName.empty()) return std::nullopt;
  if (message.signature.empty() && bodyLength != 0) return std::nullopt;
  message.body = bytes.substr(bytes.size() - bodyLength);
  return message;
}

std::optional<std::vector<std::string>> bodyStringList(const BusMessage& message) {
  if (message.signature != "as") return std::nullopt;
  Reader array(message.body, message.bigEndian);
  const size_t end = 4 + static_cast<size_t>(array.number());
  if (!array.ok() || end != message.body.size()) return std::nullopt;
  std::vector<std::string> strings;
  while (array.ok() && array.at() < end) strings.emplace_back(array.string());
  if (!array.ok()) return std::nullopt;
  return strings;
}

std::string bodyLeadingString(const BusMessage& message) {
  if (!message.signature.starts_with('s')) return "";
  Reader body(message.body, message.bigEndian);
  const std::string_view text = body.string();
  return body.ok() ? std::string(text) : "";
}

}  // namespace host
