/** @file
  Path component protocol.

  The path component is a separately built boot-service driver. It installs
  ORV_PATH_PROTOCOL under gOrvPathProtocolGuid. The application initialises it
  once right after binding the three components, hands its interface to the
  flash component's IcInit, and de-initialises it at the end of a run that
  reached the IC loop. What the path stands for is the component's own.

  Plain C, usable from C and C++ component builds.
**/

#ifndef ORV_PATH_PROTOCOL_H_
#define ORV_PATH_PROTOCOL_H_

#include <efi.h>

#ifdef __cplusplus
extern "C" {
#endif

/// {6611A44F-6175-4A04-BE42-7CB61065A58A}
#define ORV_PATH_PROTOCOL_GUID \
  { 0x6611A44F, 0x6175, 0x4A04, { 0xBE, 0x42, 0x7C, 0xB6, 0x10, 0x65, 0xA5, 0x8A } }

typedef struct _ORV_PATH_PROTOCOL ORV_PATH_PROTOCOL;

/**
  Prepare the path before any IC is touched.

  @retval EFI_SUCCESS  Ready.
  @retval others       Not ready; the application ends the run.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_PATH_INIT)(
  VOID
  );

/**
  Release the path at the end of a run.

  @return Any status; the application does not use it.
**/
typedef
EFI_STATUS
(EFIAPI *ORV_PATH_DEINIT)(
  VOID
  );

///
/// The path component's function table. The slot order is fixed.
///
struct _ORV_PATH_PROTOCOL {
  ORV_PATH_INIT    PathInit;    ///< 0
  ORV_PATH_DEINIT  PathDeinit;  ///< 1
};

extern CONST EFI_GUID  gOrvPathProtocolGuid;

#ifdef __cplusplus
}
#endif

#endif
