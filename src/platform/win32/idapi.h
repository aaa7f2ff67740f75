// The part of the Borland Database Engine's 32-bit API (IDAPI, exported by
// idapi32.dll) that the alias bridge calls, declared from the engine's
// published documentation:
// - the BDE32 API reference (help topics DbiInit, DbiOpenDatabaseList,
//   DbiGetNextRecord, DbiOpenCfgInfoList, DbiCfgPosition, DbiAddAlias,
//   DbiDeleteAlias, DbiCfgSave, DbiGetErrorString, DbiSetProp, "Object
//   properties", "Character sets", "Configuration management");
// - the engine unit's published C++Builder 6 header (BDE.HPP, 2002) for the
//   types, the structure layouts (all byte-packed), the enumeration values,
//   the property identifiers and DBIINTFVER;
// - Embarcadero's bdetypes.h for DBIFN (__stdcall) and how error codes are
//   made (category << 8 plus a code).
// The exports carry undecorated names. The bridge takes only the types of
// these functions (it loads the library at run time); the stand-in engine
// of the tests defines them, so the compiler holds both to one signature.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace idapi {

using DBIResult = uint16_t;  // UINT16, returned in AX
using hDBIObj = void*;       // every handle is a 32-bit pointer
using hDBICur = hDBIObj;
using hDBISes = hDBIObj;
using hDBICfg = hDBIObj;     // always NULL: the engine's own configuration

// Error codes: category base (category << 8) plus the code.
constexpr DBIResult DBIERR_NONE = 0;
constexpr DBIResult DBIERR_NOCONFIGFILE = 0x2104;    // ERRBASE_SYSTEM + 4
constexpr DBIResult DBIERR_CFGCANNOTWRITE = 0x2105;  // ERRBASE_SYSTEM + 5
constexpr DBIResult DBIERR_EOF = 0x2202;             // ERRBASE_NOTFOUND + 2: end of a cursor
constexpr DBIResult DBIERR_OBJNOTFOUND = 0x2208;     // ERRBASE_NOTFOUND + 8
constexpr DBIResult DBIERR_INVALIDPARAM = 0x2702;    // ERRBASE_INVALIDREQ + 2
constexpr DBIResult DBIERR_INVALIDHNDL = 0x2706;     // ERRBASE_INVALIDREQ + 6
constexpr DBIResult DBIERR_NAMENOTUNIQUE = 0x2719;   // ERRBASE_INVALIDREQ + 25
constexpr DBIResult DBIERR_UNKNOWNDRIVER = 0x271D;   // ERRBASE_INVALIDREQ + 29
constexpr DBIResult DBIERR_NOTINITIALIZED = 0x2A06;  // ERRBASE_IC + 6
constexpr DBIResult DBIERR_MULTIPLEINIT = 0x2A07;    // ERRBASE_IC + 7

constexpr uint16_t DBIINTFVER = 500;  // the interface version DbiInit passes

constexpr size_t DBIMAXNAMELEN = 31;    // DBINAME is char[32]
constexpr size_t DBIMAXPATHLEN = 260;   // DBIPATH is char[261]
constexpr size_t DBIMAXSCFLDLEN = 128;  // a configuration value
constexpr size_t DBIMAXMSGLEN = 127;    // DBIMSG is char[128]

// Enumerations are int-sized.
enum DBIOpenMode : int { dbiREADWRITE = 0, dbiREADONLY = 1 };
enum DBILockType : int { dbiNOLOCK = 0, dbiWRITELOCK = 1, dbiREADLOCK = 2 };
enum CFGMode : int { cfgPersistent = 0, cfgSession = 1, cfgAll = 2 };

// The session's configuration mode, a set of bits: which entries the
// configuration calls act on.
constexpr uint32_t sesCFGMODE2 = 0x2000C;
constexpr uint32_t cfgmVirtual = 0x1;
constexpr uint32_t cfgmPersistent = 0x2;
constexpr uint32_t cfgmSession = 0x4;
constexpr uint32_t cfgmAll = cfgmVirtual | cfgmPersistent | cfgmSession;

#pragma pack(push, 1)
// One row of the database list (DbiOpenDatabaseList): an alias.
struct DBDesc {
  char szName[DBIMAXNAMELEN + 1];     // the alias's name
  char szText[DBIMAXNAMELEN + 1];     // its description
  char szPhyName[DBIMAXPATHLEN + 1];  // its physical name (a standard alias: the directory)
  char szDbType[DBIMAXNAMELEN + 1];   // "STANDARD" or the driver's name
};
// One row of a configuration list (DbiOpenCfgInfoList): a node's entry.
struct CFGDesc {
  char szNodeName[DBIMAXNAMELEN + 1];
  char szDescription[DBIMAXSCFLDLEN];
  uint16_t iDataType;
  char szValue[DBIMAXSCFLDLEN];
  uint16_t bHasSubnodes;  // BOOL16
};
#pragma pack(pop)

static_assert(sizeof(DBDesc) == 357);
static_assert(offsetof(DBDesc, szText) == 32 && offsetof(DBDesc, szPhyName) == 64 && offsetof(DBDesc, szDbType) == 325);
static_assert(sizeof(CFGDesc) == 292);
static_assert(offsetof(CFGDesc, szDescription) == 32 && offsetof(CFGDesc, iDataType) == 160 &&
              offsetof(CFGDesc, szValue) == 162 && offsetof(CFGDesc, bHasSubnodes) == 290);
static_assert(sizeof(hDBIObj) == 4 && sizeof(DBIOpenMode) == 4 && sizeof(BOOL) == 4, "the engine is 32-bit");

// DbiInit(pEnv) is a macro of the engine's header for DbiInitFn(DBIINTFVER,
// pEnv); a NULL environment takes the defaults (configuration file from the
// registry). Creates the default session.
extern "C" DBIResult __stdcall DbiInitFn(uint16_t iVer, void* pEnv);
extern "C" DBIResult __stdcall DbiExit();
extern "C" DBIResult __stdcall DbiGetCurrSession(hDBISes* phSes);
extern "C" DBIResult __stdcall DbiSetProp(hDBIObj hObj, uint32_t iProp, uint32_t iPropValue);
// A cursor over the aliases; rows are DBDesc.
extern "C" DBIResult __stdcall DbiOpenDatabaseList(hDBICur* phCur);
// DBIERR_EOF after the last row.
extern "C" DBIResult __stdcall DbiGetNextRecord(hDBICur hCursor, DBILockType eLock, void* pRecBuf, void* precProps);
extern "C" DBIResult __stdcall DbiCloseCursor(hDBICur* phCursor);
// A cursor over a configuration node's entries, e.g.
// "\DATABASES\<alias>\DB INFO"; rows are CFGDesc.
extern "C" DBIResult __stdcall DbiOpenCfgInfoList(hDBICfg hCfg, DBIOpenMode eOpenMode, CFGMode eConfigMode,
                                                  char* pszCfgPath, hDBICur* phCur);
// DBIERR_NONE when the node exists under the session's configuration mode.
extern "C" DBIResult __stdcall DbiCfgPosition(hDBICfg hCfg, char* pszCfgPath);
// pszParams: "NAME:value[;NAME:value...]", a value quoted when it may hold
// a ';'. A driver name for a standard alias sets its default driver.
extern "C" DBIResult __stdcall DbiAddAlias(hDBICfg hCfg, char* pszAliasName, char* pszDriverType, char* pszParams,
                                           BOOL bPersist);
extern "C" DBIResult __stdcall DbiDeleteAlias(hDBICfg hCfg, char* pszAliasName);
// Writes the persistent configuration to its file (pszNewFile NULL).
extern "C" DBIResult __stdcall DbiCfgSave(hDBICfg hCfg, char* pszNewFile, BOOL bSaveAs16);
// The message of an error code; pszError holds DBIMAXMSGLEN + 1 bytes.
extern "C" DBIResult __stdcall DbiGetErrorString(DBIResult rslt, char* pszError);

}  // namespace idapi
