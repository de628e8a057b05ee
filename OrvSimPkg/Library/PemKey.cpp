/** @file
  PEM blocks and P-256 public keys.
**/

#include "PemKey.h"

namespace {

constexpr const char *PEM_TEXTS[] = {
  "ok",
  "no PEM block with the expected label",
  "bad base64 in the PEM block",
  "PEM block too large",
  "not an uncompressed NIST P-256 public key",
};

// Where Text[From..Length) holds Pattern (terminated), or Length.
UINTN Find(const char *Text, UINTN Length, UINTN From, const char *Pattern) {
  UINTN PatternLength = 0;
  while (Pattern[PatternLength] != '\0') PatternLength++;
  for (UINTN At = From; At + PatternLength <= Length; At++) {
    UINTN Index = 0;
    while (Index < PatternLength && Text[At + Index] == Pattern[Index]) Index++;
    if (Index == PatternLength) return At;
  }
  return Length;
}

constexpr UINTN NO_MATCH = ~static_cast<UINTN>(0);

// The position after Pattern when Text holds it at P, else NO_MATCH.
UINTN MatchAt(const char *Text, UINTN Length, UINTN P, const char *Pattern) {
  if (P == NO_MATCH) return NO_MATCH;
  for (UINTN I = 0; Pattern[I] != '\0'; I++, P++) {
    if (P >= Length || Text[P] != Pattern[I]) return NO_MATCH;
  }
  return P;
}

// Finds "-----<Word> <Label>-----" from From on: its start (Length when
// there is none), and the position after it in *End.
UINTN FindBoundary(const char *Text, UINTN Length, UINTN From, const char *Word, const char *Label,
                   UINTN *End) {
  for (UINTN At = Find(Text, Length, From, "-----"); At < Length;
       At = Find(Text, Length, At + 1, "-----")) {
    UINTN P = MatchAt(Text, Length, At + 5, Word);
    P = MatchAt(Text, Length, P, " ");
    P = MatchAt(Text, Length, P, Label);
    P = MatchAt(Text, Length, P, "-----");
    if (P != NO_MATCH) {
      *End = P;
      return At;
    }
  }
  return Length;
}

int Base64Value(char C) {
  if (C >= 'A' && C <= 'Z') return C - 'A';
  if (C >= 'a' && C <= 'z') return C - 'a' + 26;
  if (C >= '0' && C <= '9') return C - '0' + 52;
  if (C == '+') return 62;
  if (C == '/') return 63;
  return -1;
}

bool Blank(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }

}  // namespace

const char *PemErrorText(PEM_ERROR Error) {
  UINTN Index = static_cast<UINTN>(Error);
  return Index < sizeof(PEM_TEXTS) / sizeof(PEM_TEXTS[0]) ? PEM_TEXTS[Index] : "?";
}

PEM_ERROR PemDecode(const char *Text, UINTN Length, const char *Label, UINT8 *Der, UINTN Capacity,
                    UINTN *DerLength) {
  UINTN BodyStart = 0;
  if (FindBoundary(Text, Length, 0, "BEGIN", Label, &BodyStart) == Length) {
    return PEM_ERROR::NoBlock;
  }
  UINTN EndOfEnd = 0;
  const UINTN BodyEnd = FindBoundary(Text, Length, BodyStart, "END", Label, &EndOfEnd);
  if (BodyEnd == Length) {
    return PEM_ERROR::NoBlock;
  }
  UINT32 Bits = 0;
  UINTN BitCount = 0;
  UINTN Out = 0;
  UINTN Digits = 0;
  UINTN Padding = 0;
  for (UINTN At = BodyStart; At < BodyEnd; At++) {
    const char C = Text[At];
    if (Blank(C)) continue;
    if (C == '=') {
      Padding++;
      Digits++;
      continue;
    }
    const int Value = Base64Value(C);
    if (Value < 0 || Padding != 0) return PEM_ERROR::BadBase64;
    Digits++;
    Bits = (Bits << 6) | static_cast<UINT32>(Value);
    BitCount += 6;
    if (BitCount >= 8) {
      BitCount -= 8;
      if (Out == Capacity) return PEM_ERROR::TooLarge;
      Der[Out++] = static_cast<UINT8>(Bits >> BitCount);
    }
  }
  // Whole groups of four digits; at most two of them padding.
  if (Digits % 4 != 0 || Padding > 2 || Out == 0) {
    return PEM_ERROR::BadBase64;
  }
  *DerLength = Out;
  return PEM_ERROR::Ok;
}

PEM_ERROR ReadPublicKeyPem(const char *Text, UINTN Length, IMAGE_PUBLIC_KEY *Key) {
  UINT8 Der[IMAGE_SPKI_SIZE + 8];
  UINTN DerLength = 0;
  PEM_ERROR Error = PemDecode(Text, Length, "PUBLIC KEY", Der, sizeof(Der), &DerLength);
  if (Error == PEM_ERROR::TooLarge) return PEM_ERROR::NotP256Key;
  if (Error != PEM_ERROR::Ok) return Error;
  // The only encoding of such a key is this one: compare with it whole.
  UINT8 Expected[IMAGE_SPKI_SIZE];
  const UINT8 *Point = Der + (IMAGE_SPKI_SIZE - IMAGE_EC_POINT_SIZE);
  EncodePublicKeyDer(Point, Expected);
  if (DerLength != IMAGE_SPKI_SIZE || Point[0] != 0x04) return PEM_ERROR::NotP256Key;
  for (UINTN Index = 0; Index < IMAGE_SPKI_SIZE; Index++) {
    if (Der[Index] != Expected[Index]) return PEM_ERROR::NotP256Key;
  }
  MakePublicKey(Point, Key);
  return PEM_ERROR::Ok;
}
