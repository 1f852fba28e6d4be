// Registry values kept in two text hives of the prefix (system.reg for the machine,
// user.reg for the current user) in the REGEDIT4 format, with Windows status codes.
#pragma once

#include <QString>
#include <QtGlobal>

namespace Lib_Systeme {

// Root keys, with their Windows handle values; 0 picks the platform's default root.
inline constexpr qint32 HKEY_CLASSES_ROOT = static_cast<qint32>(0x80000000u);
inline constexpr qint32 HKEY_CURRENT_USER = static_cast<qint32>(0x80000001u);
inline constexpr qint32 HKEY_LOCAL_MACHINE = static_cast<qint32>(0x80000002u);
inline constexpr qint32 HKEY_USERS = static_cast<qint32>(0x80000003u);

// Value types.
inline constexpr qint32 REG_SZ = 1;
inline constexpr qint32 REG_EXPAND_SZ = 2;
inline constexpr qint32 REG_BINARY = 3;
inline constexpr qint32 REG_DWORD = 4;

// Status codes the two routines return.
inline constexpr qint32 RegStatusSuccess = 0;
inline constexpr qint32 RegStatusAccessDenied = 5;  // the hive cannot be read or written
inline constexpr qint32 RegStatusInvalidHandle = 6; // a root key this program has no hive for
inline constexpr qint32 RegStatusInvalidData = 13;  // a DWORD text that is not a number
inline constexpr qint32 RegStatusMoreData = 234;    // a value of a type that is not read
inline constexpr qint32 RegStatusBadKey = 1010;     // empty sub-key path or value name

// The platform identifier of the version record (1: the 95 family, root 0 means
// HKEY_LOCAL_MACHINE; 2: NT, root 0 means HKEY_CURRENT_USER; anything else: root 0 opens
// nothing). Start-up sets it from the version record; it is 0 until then.
void SetRegistryPlatformId(qint32 platformId);
qint32 RegistryPlatformId();

// Reads `valueName` ("" for the key's unnamed value) of the key `subKey` below `root` into
// `value`: REG_SZ and REG_EXPAND_SZ as stored (nothing expanded), REG_DWORD as decimal text.
// The key is created when missing. Returns 0 (also for a missing or empty value, with ""),
// 1010 for an empty `subKey`, 5 when a missing key cannot be created, 6 for a root without
// hive, 234 for another value type (with ""). Errors are reported under
// "Lib_Systeme:Reg_GetValue".
qint32 Reg_GetValue(qint32 root, const QString& subKey, const QString& valueName, QString& value);

// Writes `valueName` of the key `subKey` below `root` (creating the key): with `type` 4 a
// REG_DWORD from the decimal text (an empty text writes 0), with any other type a REG_SZ.
// Returns 0, 1010 for an empty `subKey` or `valueName`, 5 when the hive cannot be written,
// 6 for a root without hive, 13 for a DWORD text that is not a 32-bit number. Errors are
// reported under "Lib_Systeme:Reg_SetValue".
qint32 Reg_SetValue(qint32 root, const QString& subKey, const QString& valueName,
                    const QString& value, qint32 type);

// Reads `valueName` of `subKey` below `root` without creating anything: true when the value
// exists, with its type, its text (REG_SZ, REG_EXPAND_SZ) or its number (REG_DWORD). False
// for a missing hive, key or value. Never fails.
bool Reg_QueryValue(qint32 root, const QString& subKey, const QString& valueName, qint32& type,
                    QString& text, quint32& number);

} // namespace Lib_Systeme
