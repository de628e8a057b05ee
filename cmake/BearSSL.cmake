# BearSSL (Debian source package `bearssl`, fetched into .cache/bearssl/ by
# scripts/fetch-bearssl.sh) for the image signatures: SHA-256 and ECDSA over
# NIST P-256.
#   orv_bearssl_efi   object library, compiled with the UEFI flags: what the
#                     drivers need to verify (no heap, constant memory)
#   orv_bearssl_host  static library for the host tools and tests: the same
#                     sources plus key generation, signing, and the key
#                     decoders and encoders

# With ORV_BEARSSL_SOURCES_ONLY set, only the source lists are defined (the
# fuzz build makes its own library of them).

set(ORV_BEARSSL_DIR ${PROJECT_SOURCE_DIR}/.cache/bearssl/src CACHE PATH
    "BearSSL source tree (scripts/fetch-bearssl.sh unpacks it)")
if(NOT EXISTS ${ORV_BEARSSL_DIR}/inc/bearssl.h)
  message(FATAL_ERROR "BearSSL sources are missing in ${ORV_BEARSSL_DIR}; run scripts/install-deps.sh")
endif()

set(BR ${ORV_BEARSSL_DIR}/src)
set(ORV_BEARSSL_INCLUDES ${ORV_BEARSSL_DIR}/inc ${BR})

# Verification: SHA-256, the P-256 field code, ECDSA verification of a DER
# signature, and the 31-bit big-integer code it rests on.
set(ORV_BEARSSL_VERIFY_SOURCES
  ${BR}/hash/sha2small.c
  ${BR}/ec/ec_p256_m31.c
  ${BR}/ec/ec_secp256r1.c
  ${BR}/ec/ec_secp384r1.c
  ${BR}/ec/ec_secp521r1.c
  ${BR}/ec/ecdsa_atr.c
  ${BR}/ec/ecdsa_i31_bits.c
  ${BR}/ec/ecdsa_i31_vrfy_asn1.c
  ${BR}/ec/ecdsa_i31_vrfy_raw.c
  ${BR}/codec/ccopy.c
  ${BR}/codec/dec32be.c
  ${BR}/codec/enc32be.c
  ${BR}/int/i31_add.c
  ${BR}/int/i31_bitlen.c
  ${BR}/int/i31_decmod.c
  ${BR}/int/i31_decode.c
  ${BR}/int/i31_decred.c
  ${BR}/int/i31_encode.c
  ${BR}/int/i31_fmont.c
  ${BR}/int/i31_iszero.c
  ${BR}/int/i31_modpow.c
  ${BR}/int/i31_montmul.c
  ${BR}/int/i31_muladd.c
  ${BR}/int/i31_ninv31.c
  ${BR}/int/i31_reduce.c
  ${BR}/int/i31_rshift.c
  ${BR}/int/i31_sub.c
  ${BR}/int/i31_tmont.c
  ${BR}/int/i32_div32.c)

# Key generation, deterministic signing (RFC 6979 through HMAC-DRBG), the
# private key decoder (SEC1 and PKCS#8) and encoders, PEM, the system seeder.
set(ORV_BEARSSL_HOST_SOURCES ${ORV_BEARSSL_VERIFY_SOURCES}
  ${BR}/ec/ec_keygen.c
  ${BR}/ec/ec_pubkey.c
  ${BR}/ec/ecdsa_rta.c
  ${BR}/ec/ecdsa_i31_sign_asn1.c
  ${BR}/ec/ecdsa_i31_sign_raw.c
  ${BR}/ec/ec_prime_i31.c
  ${BR}/ec/ec_c25519_i31.c
  ${BR}/ec/ec_all_m31.c
  ${BR}/ec/ec_curve25519.c
  ${BR}/ec/ec_c25519_m31.c
  ${BR}/hash/sha1.c
  ${BR}/hash/sha2big.c
  ${BR}/hash/md5.c
  ${BR}/hash/md5sha1.c
  ${BR}/hash/multihash.c
  ${BR}/hash/dig_oid.c
  ${BR}/hash/dig_size.c
  ${BR}/mac/hmac.c
  ${BR}/rand/hmac_drbg.c
  ${BR}/rand/sysrng.c
  ${BR}/codec/pemdec.c
  ${BR}/codec/pemenc.c
  ${BR}/codec/dec16be.c
  ${BR}/codec/enc16be.c
  ${BR}/codec/dec64be.c
  ${BR}/codec/enc64be.c
  ${BR}/codec/dec32le.c
  ${BR}/codec/enc32le.c
  ${BR}/codec/dec64le.c
  ${BR}/codec/enc64le.c
  ${BR}/x509/skey_decoder.c
  ${BR}/x509/asn1enc.c
  ${BR}/x509/encode_ec_rawder.c
  ${BR}/x509/encode_ec_pk8der.c
  ${BR}/int/i31_mulacc.c
  ${BR}/int/i31_moddiv.c
  ${BR}/int/i31_modpow2.c)

if(ORV_BEARSSL_SOURCES_ONLY)
  return()
endif()

# The library's own code, not ours: its few unused-parameter style warnings
# are not errors here; everything else of -Wall -Wextra still is.
set(ORV_BEARSSL_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter)

add_library(orv_bearssl_efi OBJECT ${ORV_BEARSSL_VERIFY_SOURCES})
target_include_directories(orv_bearssl_efi PRIVATE ${ORV_BEARSSL_INCLUDES})
target_compile_options(orv_bearssl_efi PRIVATE
  -fpic -fshort-wchar -fno-stack-protector -fno-strict-aliasing -mno-red-zone
  -ffreestanding -maccumulate-outgoing-args -fno-asynchronous-unwind-tables
  -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=0 -O2 ${ORV_BEARSSL_WARNINGS})

add_library(orv_bearssl_host STATIC ${ORV_BEARSSL_HOST_SOURCES})
target_include_directories(orv_bearssl_host PRIVATE ${BR})
target_include_directories(orv_bearssl_host SYSTEM PUBLIC ${ORV_BEARSSL_DIR}/inc)
target_compile_options(orv_bearssl_host PRIVATE -O2 -fPIC ${ORV_BEARSSL_WARNINGS})
