#pragma once

// Names of the configuration file, its sections and keys, shared by the loader and its users.
namespace ConfigKeys {

inline constexpr const char *FileName = "system.cfg";

inline constexpr const char *Update = "Update";
inline constexpr const char *Url = "URL";
inline constexpr const char *ExeName = "ExeName";
inline constexpr const char *HostExe = "HostExe";
inline constexpr const char *UpdateExe = "UpdateExe";
inline constexpr const char *UpdateHelperExe = "UpdateHelperExe";
inline constexpr const char *HttpEnable = "HttpEnable";
// Minisign public key(s) that releases must be signed with; absent or empty = releases unsigned.
inline constexpr const char *PublicKey = "PublicKey";
inline constexpr const char *CaFile = "CaFile";

inline constexpr const char *Server = "Server";
inline constexpr const char *UpdateServer = "UpdateServer";
inline constexpr const char *UpdatePort = "UpdatePort";

inline constexpr const char *General = "General";
inline constexpr const char *Version = "Version";
inline constexpr const char *LastCheckTime = "LastCheckTime";

inline constexpr const char *Paths = "Paths";
inline constexpr const char *Backup = "Backup";
inline constexpr const char *Temp = "Temp";
inline constexpr const char *Log = "Log";

inline constexpr const char *Project = "Project";
inline constexpr const char *Name = "Name";
inline constexpr const char *Type = "Type";

// Product numbers the server knows; anything else reads as the first.
inline constexpr int MinProjectType = 1;
inline constexpr int MaxProjectType = 6;

} // namespace ConfigKeys
