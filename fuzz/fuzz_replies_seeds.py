#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_replies: real reply frames of the KP-R50, one operation each.

Run once from this folder: ./fuzz_replies_seeds.py (the files are kept in corpus/fuzz_replies/).
Layout of a seed: plan byte, then records [header][body]; see fuzz_replies.cpp.
"""
import os
import struct

MORE, FRAMED, LATE = 0x80, 0x40, 0x20


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def reply(command, payload):
    body = struct.pack('<HB', len(payload) + 5, command | 0x80) + bytes(payload)
    return body + struct.pack('<H', crc16(body))


def record(body, flags=0):
    if len(body) < 31:
        return bytes([flags | len(body)]) + body
    return bytes([flags | 31]) + struct.pack('<H', len(body)) + body


UID = bytes([0x04, 0x51, 0x3C, 0x92, 0x6A, 0x1F, 0x80, 0x07])


def card_info(byte8):
    return reply(0x52, UID + bytes([byte8, 0x21, 0x42, 0, 0, 0, 0, 0]))


SEEDS = {
    'status_and_signature': [0, reply(0x4D, struct.pack('<4H', 17, 0x00AA, 3, 0x1C07)),
                             reply(0x73, b'\x78\x56\x34\x12')],
    'logout': [1, reply(0x6C, b'\x00')],
    'challenge_after_status_byte': [2, reply(0x6E, b'\x01'), reply(0x6E, bytes(range(16)))],
    'program_card': [4, card_info(0x10), reply(0x70, b'\x00'), reply(0x50, b'\x00')],
    'read_card': [5, card_info(0x11),
                  reply(0x72, UID + struct.pack('<ii', 99999, 7) + bytes(8))],
    'erase_card': [6, card_info(0x13), reply(0x43, b'\x00')],
    'login': [10, reply(0x6E, bytes(range(0x40, 0x50))), reply(0x4C, b'\xD1\xD2\xD3\xD4')],
    'change_password': [12, reply(0x48, b'\x00')],
    'model_check': [13, reply(0x4D, struct.pack('<4H', 1, 0x00AA, 1, 0x0007))],
}

here = os.path.dirname(os.path.abspath(__file__))
folder = os.path.join(here, 'corpus', 'fuzz_replies')
os.makedirs(folder, exist_ok=True)
for name, (plan, *frames) in SEEDS.items():
    data = bytes([plan]) + b''.join(record(f) for f in frames)
    with open(os.path.join(folder, name), 'wb') as out:
        out.write(data)

# One request answered by noise, a frame of another command, a broken CRC and a late reply.
noise = bytes([3]) + record(b'\x05\x00\xD2\x00\x00', MORE) + record(reply(0x4D, b'\x00'), MORE) \
    + record(card_info(0x10)[:-1] + b'\x00', MORE) + record(card_info(0x10), LATE)
with open(os.path.join(folder, 'card_info_after_noise'), 'wb') as out:
    out.write(noise)
