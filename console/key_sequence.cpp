// Escape sequences of xterm, the Linux console, rxvt and their relatives,
// mapped onto the Windows runtime's two-code keys.
#include "key_sequence.h"

#include <cstring>

namespace console {
namespace {

constexpr uint8_t kEsc = 0x1B;

// The tables below are laid out by hand, as tables.
// clang-format off
enum Key : uint8_t {
  kF1, kF2, kF3, kF4, kF5, kF6, kF7, kF8, kF9, kF10, kF11, kF12,
  kInsert, kDelete, kHome, kEnd, kPgUp, kPgDn, kUp, kDown, kRight, kLeft,
  kBackTab, kKeyCount
};

// Modifier bits as xterm encodes them in its parameter m (m - 1).
constexpr unsigned kShift = 1, kAlt = 2, kCtrl = 4;

struct Pair {
  uint8_t lead, code;
};

// Windows codes per key: no modifier, Shift, Ctrl, Alt.
constexpr Pair kWindowsCodes[kKeyCount][4] = {
    {{0x00, 0x3B}, {0x00, 0x54}, {0x00, 0x5E}, {0x00, 0x68}},  // F1
    {{0x00, 0x3C}, {0x00, 0x55}, {0x00, 0x5F}, {0x00, 0x69}},  // F2
    {{0x00, 0x3D}, {0x00, 0x56}, {0x00, 0x60}, {0x00, 0x6A}},  // F3
    {{0x00, 0x3E}, {0x00, 0x57}, {0x00, 0x61}, {0x00, 0x6B}},  // F4
    {{0x00, 0x3F}, {0x00, 0x58}, {0x00, 0x62}, {0x00, 0x6C}},  // F5
    {{0x00, 0x40}, {0x00, 0x59}, {0x00, 0x63}, {0x00, 0x6D}},  // F6
    {{0x00, 0x41}, {0x00, 0x5A}, {0x00, 0x64}, {0x00, 0x6E}},  // F7
    {{0x00, 0x42}, {0x00, 0x5B}, {0x00, 0x65}, {0x00, 0x6F}},  // F8
    {{0x00, 0x43}, {0x00, 0x5C}, {0x00, 0x66}, {0x00, 0x70}},  // F9
    {{0x00, 0x44}, {0x00, 0x5D}, {0x00, 0x67}, {0x00, 0x71}},  // F10
    {{0xE0, 0x85}, {0xE0, 0x87}, {0xE0, 0x89}, {0xE0, 0x8B}},  // F11
    {{0xE0, 0x86}, {0xE0, 0x88}, {0xE0, 0x8A}, {0xE0, 0x8C}},  // F12
    {{0xE0, 0x52}, {0xE0, 0x52}, {0xE0, 0x92}, {0x00, 0xA2}},  // Insert
    {{0xE0, 0x53}, {0xE0, 0x53}, {0xE0, 0x93}, {0x00, 0xA3}},  // Delete
    {{0xE0, 0x47}, {0xE0, 0x47}, {0xE0, 0x77}, {0x00, 0x97}},  // Home
    {{0xE0, 0x4F}, {0xE0, 0x4F}, {0xE0, 0x75}, {0x00, 0x9F}},  // End
    {{0xE0, 0x49}, {0xE0, 0x49}, {0xE0, 0x86}, {0x00, 0x99}},  // PgUp
    {{0xE0, 0x51}, {0xE0, 0x51}, {0xE0, 0x76}, {0x00, 0xA1}},  // PgDn
    {{0xE0, 0x48}, {0xE0, 0x48}, {0xE0, 0x8D}, {0x00, 0x98}},  // Up
    {{0xE0, 0x50}, {0xE0, 0x50}, {0xE0, 0x91}, {0x00, 0xA0}},  // Down
    {{0xE0, 0x4D}, {0xE0, 0x4D}, {0xE0, 0x74}, {0x00, 0x9D}},  // Right
    {{0xE0, 0x4B}, {0xE0, 0x4B}, {0xE0, 0x73}, {0x00, 0x9B}},  // Left
    {{0x00, 0x0F}, {0x00, 0x0F}, {0x00, 0x0F}, {0x00, 0x0F}},  // Shift+Tab
};

// "CSI n ~" and rxvt's "CSI n ^ $ @": n names the key. 25-34 are the Linux
// console's Shift+F1 to Shift+F8 (rxvt sends the same numbers for other
// shifted keys; the Linux console is the more common source).
struct NumberedKey {
  unsigned number;
  Key key;
  unsigned mods;
};
constexpr NumberedKey kNumberedKeys[] = {
    {1, kHome, 0},    {2, kInsert, 0},  {3, kDelete, 0},  {4, kEnd, 0},     {5, kPgUp, 0},
    {6, kPgDn, 0},    {7, kHome, 0},    {8, kEnd, 0},     {11, kF1, 0},     {12, kF2, 0},
    {13, kF3, 0},     {14, kF4, 0},     {15, kF5, 0},     {17, kF6, 0},     {18, kF7, 0},
    {19, kF8, 0},     {20, kF9, 0},     {21, kF10, 0},    {23, kF11, 0},    {24, kF12, 0},
    {25, kF1, kShift}, {26, kF2, kShift}, {28, kF3, kShift}, {29, kF4, kShift},
    {31, kF5, kShift}, {32, kF6, kShift}, {33, kF7, kShift}, {34, kF8, kShift},
};

// Keys named by the final byte of "CSI [1;m] X" or "SS3 X".
struct LetterKey {
  uint8_t final;
  Key key;
  unsigned mods;
};
constexpr LetterKey kCsiLetterKeys[] = {
    {'A', kUp, 0},   {'B', kDown, 0},  {'C', kRight, 0}, {'D', kLeft, 0},
    {'H', kHome, 0}, {'F', kEnd, 0},   {'P', kF1, 0},    {'Q', kF2, 0},
    {'R', kF3, 0},   {'S', kF4, 0},    {'Z', kBackTab, 0},
    // rxvt's shifted cursor keys
    {'a', kUp, kShift}, {'b', kDown, kShift}, {'c', kRight, kShift}, {'d', kLeft, kShift},
};
constexpr LetterKey kSs3LetterKeys[] = {
    {'A', kUp, 0},   {'B', kDown, 0},  {'C', kRight, 0}, {'D', kLeft, 0},
    {'H', kHome, 0}, {'F', kEnd, 0},   {'P', kF1, 0},    {'Q', kF2, 0},
    {'R', kF3, 0},   {'S', kF4, 0},
    // rxvt's Ctrl+cursor keys
    {'a', kUp, kCtrl}, {'b', kDown, kCtrl}, {'c', kRight, kCtrl}, {'d', kLeft, kCtrl},
};

// The numeric keypad in application mode sends SS3 sequences for keys that
// have a character: they read as that character.
struct KeypadKey {
  uint8_t final;
  uint8_t character;
};
constexpr KeypadKey kKeypadKeys[] = {
    {'M', '\r'}, {'X', '='}, {'j', '*'}, {'k', '+'}, {'l', ','}, {'m', '-'}, {'n', '.'},
    {'o', '/'},  {'p', '0'}, {'q', '1'}, {'r', '2'}, {'s', '3'}, {'t', '4'}, {'u', '5'},
    {'v', '6'},  {'w', '7'}, {'x', '8'}, {'y', '9'},
};

// clang-format on

constexpr unsigned kParamCap = 9999;  // keeps a runaway parameter from overflowing

bool IsParamByte(uint8_t b) { return b >= 0x30 && b <= 0x3F; }
bool IsIntermediateByte(uint8_t b) { return b >= 0x20 && b <= 0x2F; }
bool IsFinalByte(uint8_t b) { return b >= 0x40 && b <= 0x7E; }

bool Dropped(KeyCodes* out, size_t consumed) {
  out->consumed = consumed;
  out->count = 0;
  return true;
}

bool OneCode(KeyCodes* out, size_t consumed, uint8_t code) {
  if (consumed > kLongestKeySequence) return Dropped(out, consumed);
  out->consumed = consumed;
  out->count = 1;
  out->codes[0] = code;
  return true;
}

bool TwoCodes(KeyCodes* out, size_t consumed, Key key, unsigned mods) {
  if (consumed > kLongestKeySequence || mods > (kShift | kAlt | kCtrl))
    return Dropped(out, consumed);
  // When modifiers combine, Alt wins over Ctrl and Ctrl over Shift.
  int column = (mods & kAlt) ? 3 : (mods & kCtrl) ? 2 : (mods & kShift) ? 1 : 0;
  const Pair& pair = kWindowsCodes[key][column];
  out->consumed = consumed;
  out->count = 2;
  out->codes[0] = pair.lead;
  out->codes[1] = pair.code;
  return true;
}

// xterm's modifier parameter: m = 1 + Shift 1 + Alt 2 + Ctrl 4 (+ Meta 8,
// which has no Windows column and is ignored). Beyond 16 it names no
// modifiers: more than all of them, so TwoCodes drops the key.
constexpr unsigned kNoSuchModifiers = 0x80;
unsigned ModsFromParam(unsigned m) {
  if (m > 16) return kNoSuchModifiers;
  return m >= 2 ? (m - 1) & (kShift | kAlt | kCtrl) : 0;
}

struct Params {
  unsigned value[2];
  int count;
  bool odd;  // private markers or more than two parameters: no key of ours
};

void StartParam(Params* params) {
  if (params->count == 2) {
    params->odd = true;
  } else {
    ++params->count;
  }
}

// Reads parameter bytes from bytes[i]; returns the index after them.
size_t ReadParams(const uint8_t* bytes, size_t length, size_t i, Params* params) {
  *params = Params{{0, 0}, 0, false};
  bool in_number = false;
  for (; i < length && IsParamByte(bytes[i]); ++i) {
    uint8_t b = bytes[i];
    if (b >= '0' && b <= '9') {
      if (!in_number) StartParam(params);
      in_number = true;
      unsigned& v = params->value[params->count - 1];
      v = v * 10 + (b - '0');
      if (v > kParamCap) v = kParamCap;
    } else if (b == ';') {
      if (!in_number) StartParam(params);  // an empty parameter means its default
      in_number = false;
    } else {
      params->odd = true;
    }
  }
  return i;
}

bool DecodeCsi(const uint8_t* bytes, size_t length, size_t i, bool settled, unsigned mods,
               KeyCodes* out) {
  // The Linux console's F1-F5: ESC [ [ A to ESC [ [ E.
  if (i < length && bytes[i] == '[') {
    if (i + 1 == length) return settled ? Dropped(out, length) : false;
    uint8_t final = bytes[i + 1];
    if (final >= 'A' && final <= 'E') return TwoCodes(out, i + 2, Key(kF1 + (final - 'A')), mods);
    return Dropped(out, i + 2);
  }
  Params params;
  i = ReadParams(bytes, length, i, &params);
  // rxvt ends its shifted keys with '$', which is an intermediate byte to a
  // strict parser; no key sends real intermediates, so '$' ends it here.
  size_t intermediates = i;
  while (i < length && IsIntermediateByte(bytes[i]) && bytes[i] != '$') ++i;
  if (i == length) return settled ? Dropped(out, length) : false;
  uint8_t final = bytes[i];
  if (!IsFinalByte(final) && final != '$') return Dropped(out, i);  // broken: drop what came before
  size_t consumed = i + 1;
  if (params.odd || i != intermediates) return Dropped(out, consumed);

  if (final == '~' || final == '^' || final == '$' || final == '@') {
    if (params.count == 0) return Dropped(out, consumed);
    for (const NumberedKey& k : kNumberedKeys) {
      if (k.number != params.value[0]) continue;
      unsigned m = mods | k.mods;
      if (final == '~' && params.count == 2) m |= ModsFromParam(params.value[1]);
      if (final == '^' || final == '@') m |= kCtrl;
      if (final == '$' || final == '@') m |= kShift;
      return TwoCodes(out, consumed, k.key, m);
    }
    return Dropped(out, consumed);
  }
  for (const LetterKey& k : kCsiLetterKeys) {
    if (k.final != final) continue;
    unsigned m = mods | k.mods;
    if (params.count == 2)
      m |= ModsFromParam(params.value[1]);
    else if (params.count == 1)
      m |= ModsFromParam(params.value[0]);  // old form: CSI 5 A
    return TwoCodes(out, consumed, k.key, m);
  }
  return Dropped(out, consumed);
}

bool DecodeSs3(const uint8_t* bytes, size_t length, size_t i, bool settled, unsigned mods,
               KeyCodes* out) {
  Params params;
  i = ReadParams(bytes, length, i, &params);  // xterm's old SS3 2 P
  if (i == length) return settled ? Dropped(out, length) : false;
  uint8_t final = bytes[i];
  if (!IsFinalByte(final)) return Dropped(out, i);
  size_t consumed = i + 1;
  if (params.odd || params.count > 1) return Dropped(out, consumed);
  if (params.count == 1) mods |= ModsFromParam(params.value[0]);
  for (const LetterKey& k : kSs3LetterKeys) {
    if (k.final == final) return TwoCodes(out, consumed, k.key, mods | k.mods);
  }
  if (params.count == 0) {
    for (const KeypadKey& k : kKeypadKeys) {
      if (k.final == final) return OneCode(out, consumed, k.character);
    }
  }
  return Dropped(out, consumed);
}

}  // namespace

bool DecodeKey(const uint8_t* bytes, size_t length, bool settled, uint8_t erase, KeyCodes* out) {
  if (length == 0) return false;
  uint8_t first = bytes[0];
  if (first != kEsc) return OneCode(out, 1, (erase != 0 && first == erase) ? 8 : first);

  // Esc alone, or the start of something: only timing tells.
  if (length == 1) return settled ? OneCode(out, 1, kEsc) : false;
  size_t start = 1;
  unsigned mods = 0;
  if (bytes[1] == kEsc) {
    // ESC before a whole sequence is Alt held with that key.
    if (length == 2) return settled ? OneCode(out, 1, kEsc) : false;
    if (bytes[2] != '[' && bytes[2] != 'O') return OneCode(out, 1, kEsc);
    start = 2;
    mods = kAlt;
  }
  uint8_t introducer = bytes[start];
  if (introducer == '[' || introducer == 'O') {
    if (start + 1 == length) {
      // Nothing followed at once: Alt+[ or Alt+O, which read as the
      // character alone.
      if (!settled) return false;
      return mods ? Dropped(out, length) : OneCode(out, 2, introducer);
    }
    return introducer == '[' ? DecodeCsi(bytes, length, start + 1, settled, mods, out)
                             : DecodeSs3(bytes, length, start + 1, settled, mods, out);
  }
  // The Linux console's Shift+Tab.
  if (introducer == '\t') return TwoCodes(out, 2, kBackTab, 0);
  // Alt with a key that has a character reads as the character alone.
  return OneCode(out, 2, (erase != 0 && introducer == erase) ? 8 : introducer);
}

size_t KeyInputRoom(const KeyInput& input) { return sizeof input.bytes - input.length; }

void KeyInputAdd(KeyInput* input, const uint8_t* bytes, size_t length) {
  if (length > KeyInputRoom(*input)) length = KeyInputRoom(*input);
  std::memcpy(input->bytes + input->length, bytes, length);
  input->length += length;
}

namespace {

void Consume(KeyInput* input, size_t count) {
  input->length -= count;
  std::memmove(input->bytes, input->bytes + count, input->length);
}

// Where the tail of a sequence that filled the buffer is being dropped.
enum Dropping : uint8_t { kNotDropping, kCsiParams, kCsiIntermediates, kSs3Params };

// Where a sequence cut short at the end of bytes[0..length) stands.
Dropping CutShort(const uint8_t* bytes, size_t length) {
  size_t start = (length > 2 && bytes[1] == kEsc) ? 2 : 1;
  if (length <= start + 1 || bytes[0] != kEsc) return kNotDropping;
  uint8_t last = bytes[length - 1];
  if (bytes[start] == 'O') return IsParamByte(last) ? kSs3Params : kNotDropping;
  if (bytes[start] != '[') return kNotDropping;
  if (IsParamByte(last)) return kCsiParams;
  return IsIntermediateByte(last) && last != '$' ? kCsiIntermediates : kNotDropping;
}

// Drops the rest of such a sequence as its grammar goes on: parameter
// bytes, then (CSI only) intermediate bytes, then its final byte.
void DropSequenceTail(KeyInput* input) {
  size_t i = 0;
  const uint8_t* b = input->bytes;
  if (input->dropping != kCsiIntermediates) {
    while (i < input->length && IsParamByte(b[i])) ++i;
  }
  if (input->dropping != kSs3Params && i < input->length && IsIntermediateByte(b[i]) &&
      b[i] != '$') {
    input->dropping = kCsiIntermediates;
    while (i < input->length && IsIntermediateByte(b[i]) && b[i] != '$') ++i;
  }
  if (i < input->length) {
    bool csi = input->dropping != kSs3Params;
    if (IsFinalByte(b[i]) || (csi && b[i] == '$')) ++i;  // else it is the next key's
    input->dropping = kNotDropping;
  }
  Consume(input, i);
}

}  // namespace

bool KeyInputReady(KeyInput* input, bool settled, uint8_t erase) {
  while (input->next == input->count && input->length > 0) {
    if (input->dropping != kNotDropping) {
      DropSequenceTail(input);
      continue;
    }
    KeyCodes key;
    bool full = KeyInputRoom(*input) == 0;
    if (!DecodeKey(input->bytes, input->length, settled || full, erase, &key)) return false;
    // A sequence longer than the buffer is dropped whole, not just its start.
    if (full && key.count == 0 && key.consumed == input->length) {
      input->dropping = CutShort(input->bytes, input->length);
    }
    Consume(input, key.consumed);
    input->next = 0;
    input->count = key.count;
    std::memcpy(input->codes, key.codes, sizeof input->codes);
  }
  return input->next < input->count;
}

uint8_t KeyInputTake(KeyInput* input) {
  uint8_t code = input->codes[input->next++];
  if (input->next == input->count) input->next = input->count = 0;
  return code;
}

bool KeyInputUndecided(const KeyInput& input) {
  return input.length > 0 && input.next == input.count;
}

bool KeyInputEmpty(const KeyInput& input) { return input.length == 0 && input.next == input.count; }

}  // namespace console
