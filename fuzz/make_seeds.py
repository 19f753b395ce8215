#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the two fuzz targets into FOLDER/replies and
FOLDER/listfile. The checked-in corpora grew from these (fuzz/run.sh TARGET merge)."""
import os
import sys

out = sys.argv[1] if len(sys.argv) > 1 else "seeds"
CODES = ["CCC", "OCC", "BC0", "BC1", "BC2", "MTC", "MRC 0A 1B", "SNA", "I81", "I83", "NSA",
         "NSR", "I8F", "STR", "STC", "SRC 01 02", "XYZ"]


def reply_input(options, state, start_row, reads, payload):
    """options: byte 0; state: byte 1 (monitor 1, send on /INT 2, rows 0/4/8/12 for 0/1/7/50,
    link open 16, run 32, variant 64*v); start_row: byte 2 (hang-up at the end 64); reads:
    split bytes (length in bits 0-4, TICKS, TIME_OUT, NESTED)."""
    return bytes([options, state, start_row, len(reads)] + reads) + payload


def length(n):  # split byte for a read of n bytes (1 to 24), or a whole read of 255
    return 31 if n == 255 else n - 1


LINK = 16
RUN = 32
SEVEN = 8  # the harness's seven messages
FIFTY = 12
MONITOR = 1
SENDONINT = 2
TICKS = 0x20
TIME_OUT = 0x40
NESTED = 0x80
HANG_UP = 0x40

replies = {}
for code in CODES:
    name = code.split()[0]
    replies[f"code-{name}"] = reply_input(0, LINK | RUN | SEVEN, 1, [], f"/{code}\r\n".encode())
    replies[f"code-{name}-idle"] = reply_input(0xff, MONITOR | SENDONINT | FIFTY | (2 << 6), 49,
                                               [], f"/{code}\r".encode())
replies["all-codes-one-read"] = reply_input(
    0, LINK | RUN | SEVEN | MONITOR, 0, [], b"".join(f"/{c}\r\n".encode() for c in CODES))
replies["split-line-end"] = reply_input(0, LINK | RUN | SEVEN, 0, [length(4), length(2)],
                                        b"/MTC\r\n/MRC 0A\r\n")
replies["split-code"] = reply_input(0, LINK | RUN | SEVEN, 1, [length(3), length(2)], b"/MTC\r")
replies["asterisks"] = reply_input(0, LINK | RUN | SEVEN, 0, [length(7), length(10)],
                                   b"**/OCC\r\n*\r\n*/MTC*\r")
replies["nul-bytes"] = reply_input(0, LINK | RUN | SEVEN, 0, [length(11), length(2)],
                                   b"/MT\0C\r/OCC\rC\r")
replies["stray-text"] = reply_input(0, LINK, 0, [length(5)], b"noise/OCC\rjunk\r/CCC\r")
long_line = b"/XYZ" + b"x" * 400 + b"\r\n/OCC\r\n"
replies["over-long-line"] = reply_input(0, LINK, 0, [length(255), length(255)], long_line)
replies["over-long-one-byte-reads"] = reply_input(0, LINK, 0, [0] * 31, b"/MRC" + b" FF" * 90 + b"\r")
replies["read-32-bytes"] = reply_input(0, LINK | RUN | SEVEN, 4, [], b"/MRC" + b" 5a" * 32 + b"\r")
replies["read-40-bytes"] = reply_input(0, LINK | RUN | SEVEN, 1, [], b"/MRC" + b" 7F" * 40 + b"\r")
replies["read-partial-group"] = reply_input(0, LINK | RUN | SEVEN, 1, [], b"/MRC 0A 1\r")
replies["read-garbled"] = reply_input(0, LINK | RUN | SEVEN, 1, [], b"/MRC \xff\xfe 0A\r")
replies["status-not-utf8"] = reply_input(0, LINK, 0, [], b"/X\xf2\r/\xe2\x82\r")
replies["interrupt-sends-list"] = reply_input(
    0x10, MONITOR | SENDONINT | SEVEN | LINK, 0, [length(5), TICKS | length(5), TICKS | length(5)],
    b"/NSA\r/MTC\r/MRC 01 02 03 04\r")
replies["busy-retry"] = reply_input(0x02, LINK | RUN | SEVEN, 0, [length(5), TICKS | length(5)],
                                    b"/I81\r/MTC\r")
replies["stop-on-nak"] = reply_input(0x80, LINK | RUN | SEVEN, 2, [], b"/SNA\r/MTC\r")
replies["autorepeat-wrap"] = reply_input(0x01, LINK | RUN | SEVEN, 4, [TICKS | length(5)] * 6,
                                         b"/MTC\r" * 6)
replies["error-box-then-more"] = reply_input(0, LINK | RUN | SEVEN, 0, [length(5), NESTED | length(5)],
                                             b"/I8F\r/CCC\r")
replies["close-then-replies"] = reply_input(0, LINK | RUN | SEVEN, 0, [length(5), length(5)],
                                            b"/CCC\r/OCC\r")
replies["time-out-reply-in-box"] = reply_input(
    0, LINK | RUN | SEVEN, 0, [TICKS | length(5), TIME_OUT | NESTED | length(5)], b"/MTC\r/MRC 0A\r")
replies["hang-up"] = reply_input(0, LINK | RUN | SEVEN, HANG_UP, [], b"/MT")
replies["refused-address"] = reply_input(0, LINK | RUN | SEVEN, 4, [TICKS | length(5)] * 3,
                                         b"/MTC\r/MTC\r/MRC 01\r")
replies["fifty-rows-end"] = reply_input(0, LINK | RUN | FIFTY, 49, [], b"/MTC\r/MTC\r/MRC 11\r")

listfiles = {}
EXAMPLE = (b"QVT I2C Message List File V2\n"
           b"$A0,W,Y,$0064,00,10,\n"
           b"$A0,R,Y,$0000,12,34,56,78,\n"
           b"$4E,W,N,$03e8,01,\n"
           b"$4E,R,Y,$0000,FF,FF,\n"
           b"AutoRepeat = OFF\n"
           b"SendOnInt = ON\n"
           b"End of Sequence\n")
HEADER = b"QVT I2C Message List File V2\n"


def list_input(text, opened=True, pieces=()):
    return bytes([1 if opened else 0, len(pieces)] + list(pieces)) + text


listfiles["example"] = list_input(EXAMPLE)
listfiles["example-pieces"] = list_input(EXAMPLE, False, [1, 28, 0, 7, 255])
listfiles["header-no-version"] = list_input(b"QVT I2C Message List File\n$A0,W,Y,$0000,\n")
listfiles["header-old-crlf"] = list_input(b"QVT I2C Message List File V1 (old)\r\n$A,W,Y,$0000,\r\n")
listfiles["header-short"] = list_input(b"QVT I2C Message List\n$A0,W,Y,$0000,\n")
listfiles["empty"] = list_input(b"")
listfiles["empty-line"] = list_input(b"\n")
listfiles["header-nul"] = list_input(b"QVT I2C Message\0 List File\n")
groups = b"".join(b"0%c," % b"0123456789ABCDEF"[i % 16] for i in range(40))
listfiles["long-data"] = list_input(HEADER + b"$A0,W,Y,$0001," + groups + b" " * 300 + b"\n")
listfiles["long-line"] = list_input(HEADER + b"$A0,W,Y,$0001," + b"x" * 3000 + b",\nAutoRepeat = ON\n")
many = HEADER + b"".join(b"$%02X,W,Y,$0000,%02X,\n" % (2 * i, i) for i in range(53))
listfiles["53-messages"] = list_input(many + b"SendOnInt = ON\nEnd of Sequence\n")
listfiles["field-oddities"] = list_input(
    HEADER + b"$ABC,R,Y,$00FF,12,34,56,78,  \r\n$2,X,Q,$ea60,1,W,2,N,3\n"
    b"$A0,W,Y,$0064,noComma\n$C0\n$D0,R,Y,$01\n$E0,W,N,$0003,1\0" b"2,\n")
listfiles["options-and-end"] = list_input(
    HEADER + b"$A0,W,Y,$0000,01,\n\n$B0,W,Y,$0000,02,\nAutoRepeat = ON\nSendOnInt = OFF\n"
    b"$C0,W,Y,$0000,\nEnd of Sequence\nAutoRepeat = OFF\n")
listfiles["no-final-newline"] = list_input(HEADER + b"$A0,W,Y,$0000,01,\n$B0,W,Y,$0000,02,")

for target, seeds in (("replies", replies), ("listfile", listfiles)):
    os.makedirs(os.path.join(out, target), exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, target, name), "wb") as f:
            f.write(data)
print(f"{len(replies)} reply seeds, {len(listfiles)} list file seeds in {out}/")
