// Fuzzes the translation of terminal key bytes into key codes, fed in
// arbitrary pieces as the terminal delivers them. Checks, beyond crashes:
// pieces (and the buffer's size) do not change the codes while no wait for
// more runs out, every byte is decided, 27 comes only from a lone Esc, and
// a pending second code is served before anything else.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "key_sequence.h"

namespace {

void Fail(const char* check, int line) {
  std::fprintf(stderr, "check failed, line %d: %s\n", line, check);
  std::abort();
}
#define Check(ok) ((ok) ? (void)0 : Fail(#ok, __LINE__))

constexpr uint8_t kEsc = 0x1B;

// Decodes all at once, as if it had arrived in one piece and nothing followed.
std::vector<uint8_t> DecodeWhole(const std::vector<uint8_t>& input, uint8_t erase) {
  std::vector<uint8_t> codes;
  size_t at = 0;
  while (at < input.size()) {
    console::KeyCodes key{};
    Check(console::DecodeKey(input.data() + at, input.size() - at, true, erase, &key));
    Check(key.consumed >= 1 && key.consumed <= input.size() - at);
    Check(key.count >= 0 && key.count <= 2);
    if (key.count == 1 && key.codes[0] == kEsc) {
      // Esc alone, or an Esc before another Esc that starts no sequence.
      Check(key.consumed == 1 && input[at] == kEsc);
      Check(at + 1 == input.size() || input[at + 1] == kEsc);
    }
    if (key.count == 2)
      Check((key.codes[0] == 0x00 || key.codes[0] == 0xE0) && key.codes[1] != kEsc);
    for (int i = 0; i < key.count; ++i) codes.push_back(key.codes[i]);
    at += key.consumed;
  }
  Check(at == input.size());
  return codes;
}

// Takes every code that is ready; after a lead code the second must be
// ready at once, with nothing more read.
void TakeReady(console::KeyInput* keys, bool settled, uint8_t erase, std::vector<uint8_t>* codes) {
  while (console::KeyInputReady(keys, settled, erase)) {
    bool lead = keys->count == 2 && keys->next == 0;
    codes->push_back(console::KeyInputTake(keys));
    if (lead) {
      Check(console::KeyInputReady(keys, false, erase));
      codes->push_back(console::KeyInputTake(keys));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  uint8_t erase = provider.ConsumeBool() ? 0x7F : 0x08;
  std::vector<std::vector<uint8_t>> pieces;
  std::vector<uint8_t> input;
  while (provider.remaining_bytes() > 0) {
    auto piece = provider.ConsumeBytes<uint8_t>(provider.ConsumeIntegralInRange<size_t>(1, 24));
    input.insert(input.end(), piece.begin(), piece.end());
    pieces.push_back(std::move(piece));
  }
  std::vector<uint8_t> whole = DecodeWhole(input, erase);

  console::KeyInput keys;
  std::vector<uint8_t> streamed;
  for (const auto& piece : pieces) {
    size_t at = 0;
    while (at < piece.size()) {
      size_t take = std::min(console::KeyInputRoom(keys), piece.size() - at);
      console::KeyInputAdd(&keys, piece.data() + at, take);
      at += take;
      TakeReady(&keys, false, erase, &streamed);
    }
  }
  TakeReady(&keys, true, erase, &streamed);
  Check(keys.length == 0 && keys.next == keys.count);  // every byte decided, every code served
  Check(streamed == whole);
  return 0;
}
