/** @file
  Public keys in PEM: the text between "-----BEGIN PUBLIC KEY-----" and
  "-----END PUBLIC KEY-----" is the base64 of a DER SubjectPublicKeyInfo
  (what `openssl pkey -pubout` writes). Only uncompressed NIST P-256 keys
  are taken. Also the plain PEM block decoder, shared with the host tools'
  private key reader.

  Freestanding: the caller provides every buffer.
**/

#ifndef ORV_SIM_PEM_KEY_H_
#define ORV_SIM_PEM_KEY_H_

#include <efi.h>

#include "ImageSign.h"

enum class PEM_ERROR : UINT8 {
  Ok,
  NoBlock,     ///< no BEGIN line with the label, or no matching END line
  BadBase64,   ///< a character that is not base64, or bad padding
  TooLarge,    ///< the DER does not fit the buffer
  NotP256Key,  ///< not an uncompressed P-256 SubjectPublicKeyInfo
};

/// The text of an error ("not an uncompressed NIST P-256 public key").
const char *PemErrorText(PEM_ERROR Error);

/**
  Decode the first PEM block labelled Label ("PUBLIC KEY") in Text: the
  base64 between its BEGIN and END lines, blanks and line ends ignored.

  @param[out] Der        Receives the bytes.
  @param[in]  Capacity   Size of Der.
  @param[out] DerLength  Bytes written.
**/
PEM_ERROR PemDecode(const char *Text, UINTN Length, const char *Label, UINT8 *Der, UINTN Capacity,
                    UINTN *DerLength);

/// Read a P-256 public key from PEM text into Key (point and key id).
PEM_ERROR ReadPublicKeyPem(const char *Text, UINTN Length, IMAGE_PUBLIC_KEY *Key);

#endif
