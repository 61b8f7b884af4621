#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_msos_descriptors: sound descriptors of each kind a device
can send when probed, and the GUID texts of a udev property.

Run once from this folder: ./fuzz_msos_descriptors_seeds.py (the files are kept in
corpus/fuzz_msos_descriptors/).
"""
import os
import struct
import uuid

KPR50 = '{5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73}'
OTHER = '{01234567-89AB-CDEF-0102-030405060708}'
MSOS20_UUID = uuid.UUID('D8DD60DF-4589-4CC7-9CD2-659D9E648A9F')
WEBUSB_UUID = uuid.UUID('3408B638-09A9-47A0-8BFD-A0768815B665')


def utf16(*strings, multi=False):
    data = b''.join(s.encode('utf-16-le') + b'\0\0' for s in strings)
    return data + (b'\0\0' if multi else b'')


def property20(data_type, name, data):
    n = utf16(name)
    return struct.pack('<HHHH', 10 + len(n) + len(data), 4, data_type, len(n)) + n + \
        struct.pack('<H', len(data)) + data


def subset(kind, number, *body):
    inner = b''.join(body)
    return struct.pack('<HHBBH', 8, kind, number, 0, 8 + len(inner)) + inner


def set20(*body):
    inner = b''.join(body)
    return struct.pack('<HHIH', 10, 0, 0x06030000, 10 + len(inner)) + inner


COMPATIBLE_ID = struct.pack('<HH', 20, 3) + b'WINUSB\0\0' + bytes(8)


def guids20(*guids):
    return property20(7, 'DeviceInterfaceGUIDs', utf16(*guids, multi=True))


def platform(capability_uuid, data):
    return struct.pack('<BBBB', 20 + len(data), 0x10, 0x05, 0) + capability_uuid.bytes_le + data


def bos(*capabilities):
    inner = b''.join(capabilities)
    return struct.pack('<BBHB', 5, 0x0F, 5 + len(inner), len(capabilities)) + inner


def section10(data_type, name, data):
    n = utf16(name)
    return struct.pack('<IIH', 14 + len(n) + len(data), data_type, len(n)) + n + \
        struct.pack('<I', len(data)) + data


def extended10(*sections):
    inner = b''.join(sections)
    return struct.pack('<IHHH', 10 + len(inner), 0x0100, 5, len(sections)) + inner


SEEDS = {
    'set20-winusb': set20(COMPATIBLE_ID, guids20(KPR50)),
    'set20-composite': set20(subset(1, 0,
                                    subset(2, 0, COMPATIBLE_ID, guids20(KPR50)),
                                    subset(2, 1, COMPATIBLE_ID, guids20(OTHER, KPR50)))),
    'set20-features': set20(struct.pack('<HHBB', 6, 5, 0x20, 0), struct.pack('<HH', 4, 7),
                            property20(1, 'DeviceInterfaceGUID', utf16(KPR50))),
    'bos-msos20': bos(bytes([7, 0x10, 0x02, 0x02, 0, 0, 0]),
                      platform(MSOS20_UUID, struct.pack('<IHBB', 0x06030000, 0xA2, 0x21, 0))),
    'bos-webusb-msos20': bos(platform(WEBUSB_UUID, bytes([0x00, 0x01, 0x22, 0x01])),
                             platform(MSOS20_UUID, struct.pack('<IHBB', 0x06030000, 0x40, 0x01, 0) +
                                      struct.pack('<IHBB', 0x0A000000, 0x80, 0x02, 0))),
    'string10-msft100': bytes([0x12, 0x03]) + 'MSFT100'.encode('utf-16-le') + bytes([0x5A, 0]),
    'extended10-regsz': extended10(section10(1, 'DeviceInterfaceGUID', utf16(KPR50))),
    'extended10-multisz': extended10(section10(1, 'Label', utf16('KP-R50')),
                                     section10(7, 'DeviceInterfaceGUIDs', utf16(KPR50, OTHER, multi=True))),
    'udev-guid-list': (KPR50 + ',' + OTHER.lower().strip('{}')).encode('ascii'),
}

if __name__ == '__main__':
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus', 'fuzz_msos_descriptors')
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)
