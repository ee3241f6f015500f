#include "net/telnet_codec.h"

#include <algorithm>

namespace ktcomm::net::telnet {
namespace {

void AppendCommand(uint8_t verb, uint8_t option, std::vector<uint8_t>* out) {
  out->insert(out->end(), {kIac, verb, option});
}

bool WeDo(uint8_t option) {
  return option == kComPort || option == kBinary || option == kSuppressGoAhead;
}

bool TheyMayDo(uint8_t option) { return option == kBinary || option == kSuppressGoAhead; }

}  // namespace

void Decoder::Feed(std::span<const uint8_t> in, std::vector<uint8_t>* data,
                   std::vector<Message>* messages) {
  for (uint8_t byte : in) Step(byte, data, messages);
}

void Decoder::Step(uint8_t byte, std::vector<uint8_t>* data, std::vector<Message>* messages) {
  switch (state) {
    case State::kData:
      if (byte == kIac) {
        state = State::kCommand;
      } else {
        data->push_back(byte);
      }
      return;
    case State::kCommand:
      state = State::kData;
      if (byte == kIac) {
        data->push_back(kIac);
      } else if (byte >= kWill) {
        pending = Message{byte, 0, {}};
        state = State::kOption;
      } else if (byte == kSb) {
        state = State::kSubOption;
      }
      return;
    case State::kOption:
      pending.option = byte;
      messages->push_back(pending);
      state = State::kData;
      return;
    case State::kSubOption:
      pending = Message{kSb, byte, {}};
      overlong = false;
      state = State::kSubData;
      return;
    case State::kSubData:
      if (byte == kIac) {
        state = State::kSubIac;
        return;
      }
      break;
    case State::kSubIac:
      if (byte == kSe) {
        if (!overlong) messages->push_back(std::move(pending));
        state = State::kData;
        return;
      }
      if (byte != kIac) {
        // Not a subnegotiation after all: drop it, and read the byte as the
        // command that follows IAC.
        state = State::kCommand;
        Step(byte, data, messages);
        return;
      }
      state = State::kSubData;
      break;
  }
  if (pending.payload.size() < kMaxPayload) {
    pending.payload.push_back(byte);
  } else {
    overlong = true;
  }
}

void AppendEscaped(std::span<const uint8_t> data, std::vector<uint8_t>* out) {
  for (uint8_t byte : data) {
    out->push_back(byte);
    if (byte == kIac) out->push_back(kIac);
  }
}

size_t DataBytesSent(std::span<const uint8_t> data, size_t sent, bool* halfSent) {
  *halfSent = false;
  size_t pos = 0;
  size_t used = 0;
  while (pos < data.size() && used < sent) {
    size_t width = data[pos] == kIac ? 2 : 1;
    ++pos;
    if (used + width > sent) {
      *halfSent = true;
      break;
    }
    used += width;
  }
  return pos;
}

void ComPortClient::Start(std::vector<uint8_t>* out) {
  for (uint8_t option : {kComPort, kBinary}) {
    oursAsked.set(option);
    AppendCommand(kWill, option, out);
  }
  for (uint8_t option : {kBinary, kSuppressGoAhead}) {
    theirsAsked.set(option);
    AppendCommand(kDo, option, out);
  }
}

// A byte at a time, so that a purge's answer is placed exactly among the data.
void ComPortClient::Receive(std::span<const uint8_t> in, std::vector<uint8_t>* data,
                            std::vector<uint8_t>* out) {
  for (size_t i = 0; i < in.size(); ++i) {
    decoder.Feed(in.subspan(i, 1), data, &messages);
    for (const Message& message : messages) Handle(message, data->size(), out);
    messages.clear();
  }
}

void ComPortClient::Handle(const Message& message, size_t dataSize, std::vector<uint8_t>* out) {
  if (message.verb != kSb) {
    Negotiate(message, out);
    return;
  }
  if (message.option != kComPort || message.payload.empty()) return;
  uint8_t code = message.payload[0];
  // Notifications of line and modem state (106, 107) answer no request
  // and are dropped below.
  if (code <= kAnswerOffset) return;
  if (code == kAnswerOffset + kPurgeData) {
    if (purgesPending == 0) return;
    purgesPending -= 1;
    purgeMark = dataSize;
    return;
  }
  uint32_t value = 0;
  size_t width = std::min<size_t>(message.payload.size() - 1, 4);
  for (size_t i = 1; i <= width; ++i) value = value << 8 | message.payload[i];
  Answered(static_cast<uint8_t>(code - kAnswerOffset), value);
}

std::optional<size_t> ComPortClient::TakePurgeMark() {
  std::optional<size_t> mark = purgeMark;
  purgeMark.reset();
  return mark;
}

// Answers the way that cannot loop: a request that changes nothing gets no
// reply, and a reply to our own request is not answered again. Our options
// (asked with DO and DONT, answered with WILL and WONT) and theirs (the
// other way round) follow the same rules.
void ComPortClient::Negotiate(const Message& message, std::vector<uint8_t>* out) {
  negotiationCount += 1;
  uint8_t option = message.option;
  auto settle = [&](bool wanted, bool allowed, std::bitset<256>& on, std::bitset<256>& asked,
                    uint8_t accept, uint8_t refuse) {
    if (wanted && !allowed) {
      AppendCommand(refuse, option, out);
    } else if (wanted && !on[option]) {
      on.set(option);
      if (!asked[option]) AppendCommand(accept, option, out);
    } else if (!wanted) {
      if (on[option]) AppendCommand(refuse, option, out);
      on.reset(option);
    }
    asked.reset(option);
  };
  switch (message.verb) {
    case kDo:
    case kDont:
      settle(message.verb == kDo, WeDo(option), oursOn, oursAsked, kWill, kWont);
      break;
    case kWill:
    case kWont:
      settle(message.verb == kWill, TheyMayDo(option), theirsOn, theirsAsked, kDo, kDont);
      break;
    default:
      break;
  }
  if (option == kComPort && (message.verb == kDo || message.verb == kDont)) {
    comPortOption = oursOn[kComPort] ? Option::kAccepted : Option::kRefused;
  }
}

void ComPortClient::Send(std::span<const Request> requests, std::vector<uint8_t>* out) {
  owedRequests.assign(requests.begin(), requests.end());
  answerRefused = false;
  for (const Request& request : requests) {
    out->insert(out->end(), {kIac, kSb, kComPort, request.command});
    uint8_t value[4] = {static_cast<uint8_t>(request.value >> 24),
                        static_cast<uint8_t>(request.value >> 16),
                        static_cast<uint8_t>(request.value >> 8),
                        static_cast<uint8_t>(request.value)};
    std::span<const uint8_t> bytes(value);
    AppendEscaped(request.command == kSetBaudRate ? bytes : bytes.last(1), out);
    out->insert(out->end(), {kIac, kSe});
  }
}

void ComPortClient::Purge(uint8_t which, std::vector<uint8_t>* out) {
  purgesPending += 1;
  out->insert(out->end(), {kIac, kSb, kComPort, kPurgeData, which, kIac, kSe});
}

// Answers to several requests of one kind (the control requests) come in
// any order, so an answer is matched first to a request for its value.
void ComPortClient::Answered(uint8_t command, uint32_t value) {
  auto same = std::find(owedRequests.begin(), owedRequests.end(), Request{command, value});
  if (same == owedRequests.end()) {
    same = std::find_if(owedRequests.begin(), owedRequests.end(),
                        [command](const Request& r) { return r.command == command; });
    if (same == owedRequests.end()) return;  // not asked for, or asked for before
    answerRefused = true;
  }
  owedRequests.erase(same);
  answerCount += 1;
}

}  // namespace ktcomm::net::telnet
