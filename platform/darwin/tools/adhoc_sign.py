#!/usr/bin/python3
"""Gives one thin Mach-O file the ad-hoc signature that iOS 7 and 8 accept.

    adhoc_sign.py --identifier NAME IN OUT

IN either carries LC_CODE_SIGNATURE already (ld64.lld -adhoc_codesign reserves it, with a
SHA-256-only signature that those kernels report invalid), whose signature is replaced, or has
room after its load commands for one (the armv7 linker writes none), which is added, with the
signature at the end of the file, 16-byte aligned. The signature is a SuperBlob of:

    slot 0       CodeDirectory, version 0x20100, SHA-1, flags CS_ADHOC   (the one iOS 7/8 check)
    slot 2       an empty requirement set
    slot 0x1000  the same CodeDirectory with SHA-256                      (what later iOS prefer)
    slot 0x10000 an empty CMS wrapper                                     (no certificate: ad hoc)

Each CodeDirectory holds one hash per 4096-byte page of the file up to the signature (codeLimit),
and in its special slots the hash of the requirement set (slot 2; slot 1, the Info.plist, is
zeros: nothing is bound). The load commands are patched first (the signature's size and
__LINKEDIT's file and memory sizes, which must cover it), since the first page hash covers them.
All signature fields are big-endian.
"""

import argparse
import hashlib
import os
import struct
import sys

import macho

CSMAGIC_EMBEDDED_SIGNATURE = 0xFADE0CC0
CSMAGIC_CODEDIRECTORY = 0xFADE0C02
CSMAGIC_REQUIREMENTS = 0xFADE0C01
CSMAGIC_BLOBWRAPPER = 0xFADE0B01
CSSLOT_CODEDIRECTORY = 0
CSSLOT_REQUIREMENTS = 2
CSSLOT_ALTERNATE_CODEDIRECTORIES = 0x1000
CSSLOT_SIGNATURESLOT = 0x10000
CS_ADHOC = 0x2
CS_HASHTYPE_SHA1 = 1
CS_HASHTYPE_SHA256 = 2
CODEDIRECTORY_VERSION = 0x20100
CODEDIRECTORY_HEADER_SIZE = 48  # version 0x20100: up to and including scatterOffset
PAGE_SIZE_LOG2 = 12
PAGE_SIZE = 1 << PAGE_SIZE_LOG2
SPECIAL_SLOTS = 2  # 1 Info.plist (unbound: zeros), 2 requirements

HASHES = {CS_HASHTYPE_SHA1: hashlib.sha1, CS_HASHTYPE_SHA256: hashlib.sha256}

EMPTY_REQUIREMENTS = struct.pack(">III", CSMAGIC_REQUIREMENTS, 12, 0)
EMPTY_CMS_WRAPPER = struct.pack(">II", CSMAGIC_BLOBWRAPPER, 8)


def page_hashes(code, hash_type):
    """The hash of each 4096-byte page of CODE (the last one may be shorter)."""
    h = HASHES[hash_type]
    return [h(code[i:i + PAGE_SIZE]).digest() for i in range(0, len(code), PAGE_SIZE)]


def code_directory(code, identifier, hash_type):
    h = HASHES[hash_type]
    hash_size = h().digest_size
    ident = identifier.encode() + b"\0"
    special = [b"\0" * hash_size, h(EMPTY_REQUIREMENTS).digest()]  # slots 1, 2
    pages = page_hashes(code, hash_type)
    ident_offset = CODEDIRECTORY_HEADER_SIZE
    hash_offset = ident_offset + len(ident) + SPECIAL_SLOTS * hash_size
    length = hash_offset + len(pages) * hash_size
    header = struct.pack(">IIIIIIIIIBBBBII", CSMAGIC_CODEDIRECTORY, length, CODEDIRECTORY_VERSION,
                         CS_ADHOC, hash_offset, ident_offset, SPECIAL_SLOTS, len(pages), len(code),
                         hash_size, hash_type, 0, PAGE_SIZE_LOG2, 0, 0)
    # Special slots sit before hashOffset in reverse order: slot n at hashOffset - n * hashSize.
    return header + ident + b"".join(reversed(special)) + b"".join(pages)


def signature_size(code_limit, identifier):
    pages = (code_limit + PAGE_SIZE - 1) // PAGE_SIZE
    ident = len(identifier.encode()) + 1
    cds = sum(CODEDIRECTORY_HEADER_SIZE + ident + (SPECIAL_SLOTS + pages) * size
              for size in (20, 32))
    return 12 + 4 * 8 + cds + len(EMPTY_REQUIREMENTS) + len(EMPTY_CMS_WRAPPER)


def super_blob(code, identifier):
    blobs = [(CSSLOT_CODEDIRECTORY, code_directory(code, identifier, CS_HASHTYPE_SHA1)),
             (CSSLOT_REQUIREMENTS, EMPTY_REQUIREMENTS),
             (CSSLOT_ALTERNATE_CODEDIRECTORIES,
              code_directory(code, identifier, CS_HASHTYPE_SHA256)),
             (CSSLOT_SIGNATURESLOT, EMPTY_CMS_WRAPPER)]
    offset = 12 + 8 * len(blobs)
    index, body = b"", b""
    for slot, blob in blobs:
        index += struct.pack(">II", slot, offset + len(body))
        body += blob
    return struct.pack(">III", CSMAGIC_EMBEDDED_SIGNATURE, offset + len(body), len(blobs)) + \
        index + body


def with_signature_command(data):
    """DATA with an LC_CODE_SIGNATURE added after its load commands, pointing at the end of the
    file (padded to 16 bytes), which must be the end of __LINKEDIT."""
    thin = macho.Slice(data)
    end_of_commands = thin.header_size + thin.sizeofcmds
    first_content = min(off for s in thin.segments for _n, _a, size, off in s.sections
                        if off and size)
    if first_content - end_of_commands < 16:
        raise macho.MachOError("no room after the load commands for LC_CODE_SIGNATURE")
    linkedit = thin.segment("__LINKEDIT")
    if linkedit is None or linkedit.fileoff + linkedit.filesize != len(data):
        raise macho.MachOError("__LINKEDIT does not end the file")
    code_limit = (len(data) + 15) & ~15
    out = bytearray(data) + bytes(code_limit - len(data))
    struct.pack_into("<IIII", out, end_of_commands, macho.LC_CODE_SIGNATURE, 16, code_limit, 0)
    struct.pack_into("<II", out, 16, thin.ncmds + 1, thin.sizeofcmds + 16)
    return bytes(out)


def sign(data, identifier):
    """DATA (a thin Mach-O file) signed as described above."""
    thin = macho.Slice(data)
    if thin.command(macho.LC_CODE_SIGNATURE) is None:
        data = with_signature_command(data)
        thin = macho.Slice(data)
    sig_command = thin.command(macho.LC_CODE_SIGNATURE)
    code_limit, _old_size = thin.code_signature()
    linkedit = thin.segment("__LINKEDIT")
    if linkedit is None or linkedit.fileoff > code_limit:
        raise macho.MachOError("the signature is not in __LINKEDIT")
    size = signature_size(code_limit, identifier)
    out = bytearray(data[:code_limit])
    struct.pack_into("<I", out, sig_command + 12, size)
    new_linkedit = code_limit + size - linkedit.fileoff
    # The segment's memory size equals its file size, as the linker writes it.
    if thin.is64:
        struct.pack_into("<Q", out, linkedit.command_offset + 32, new_linkedit)  # vmsize
        struct.pack_into("<Q", out, linkedit.command_offset + 48, new_linkedit)  # filesize
    else:
        struct.pack_into("<I", out, linkedit.command_offset + 28, new_linkedit)  # vmsize
        struct.pack_into("<I", out, linkedit.command_offset + 36, new_linkedit)  # filesize
    blob = super_blob(bytes(out), identifier)
    assert len(blob) == size
    return bytes(out) + blob


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--identifier", required=True)
    parser.add_argument("input")
    parser.add_argument("output")
    args = parser.parse_args(argv)
    with open(args.input, "rb") as f:
        data = f.read()
    try:
        signed = sign(data, args.identifier)
    except macho.MachOError as e:
        sys.exit("adhoc_sign.py: %s: %s" % (args.input, e))
    with open(args.output, "wb") as f:
        f.write(signed)
    os.chmod(args.output, 0o755)


if __name__ == "__main__":
    main(sys.argv[1:])
