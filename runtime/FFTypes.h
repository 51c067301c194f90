// Pointer types shared by the bindings and the ported code.
#pragma once
#include <cstddef>
#include <cstdint>

namespace FFTypes {

using PByte = std::uint8_t*;
using PPByte = PByte*;
using PPPByte = PPByte*;
// An array type only ever used through pointers.
using ByteArray = std::uint8_t[251658240];
using PByteArray = ByteArray*;
using PSize_t = std::size_t*;
using PAnsiChar = char*;
using PPAnsiChar = PAnsiChar*;
using PPPAnsiChar = PPAnsiChar*;

}  // namespace FFTypes
