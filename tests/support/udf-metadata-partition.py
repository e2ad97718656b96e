# Makes a UDF 2.50 image with a metadata partition out of a genisoimage -udf image, in place:
# the file set, file entries and directories move into a metadata partition whose metadata
# file lays the physical partition out rotated by ROTATION blocks, so that a reader that
# takes a metadata block for the physical block of the same number reads the wrong sectors.
# No file's data moves, so the image must list as the original does, sector for sector.
# usage: udf-metadata-partition.py IMAGE
import struct, sys

from udf_image import UdfImage

ROTATION = 3
udf = UdfImage(sys.argv[-1])
image, anchor = udf.image, udf.ANCHOR
u16, u32, put16, put32, retag = udf.u16, udf.u32, udf.put16, udf.put32, udf.retag
partition_at, volume_at, start, length = udf.partition_at, udf.volume_at, udf.start, udf.length
def meta(block): return block - ROTATION if block >= ROTATION else block + length - ROTATION
def sector(block): return (start + block) * 2048

# Every file entry and identifier, walked from the root while the blocks are still physical.
entries, identifiers = [], []
def walk(block):
    at = sector(block)
    entries.append(block)
    if image[at + 27] != 4:
        return
    ea, ad = u32(at + 168), u32(at + 172)
    assert u16(at + 34) & 7 == 0
    data = b''
    blocks = []
    for d in range(at + 176 + ea, at + 176 + ea + ad, 8):
        size, position = u32(d) & 0x3FFFFFFF, u32(d + 4)
        data += image[sector(position):sector(position) + size]
        blocks += [position + i for i in range((size + 2047) // 2048)]
    data = data[:struct.unpack_from('<Q', image, at + 56)[0]]
    offset = 0
    while offset + 38 <= len(data):
        where = sector(blocks[offset // 2048]) + offset % 2048
        identifiers.append((where, blocks[offset // 2048]))
        child = u32(where + 24)
        if not image[where + 18] & 8:
            walk(child)
        offset += (38 + u16(where + 36) + image[where + 19] + 3) & ~3

file_set = u32(volume_at[0] + 252)
root = u32(sector(file_set) + 404)
walk(root)

for at, block in identifiers:
    put32(at + 24, meta(u32(at + 24)))
    put16(at + 28, 1)
    retag(at, meta(block))
for block in entries:
    at = sector(block)
    for d in range(at + 176 + u32(at + 168), at + 176 + u32(at + 168) + u32(at + 172), 8):
        put32(d + 4, meta(u32(d + 4)))
    retag(at, meta(block))
at = sector(file_set)
put32(at + 404, meta(root))
put16(at + 408, 1)
put16(at + 440, 0x250)
retag(at, meta(file_set))

# The metadata file overwrites the file set's terminator in block 1; its mirror is the
# block after the partition, which grows by one.
def metadata_file(block, file_type):
    at = sector(block)
    image[at:at + 2048] = bytes(2048)
    put16(at, 261); put16(at + 2, 2); put16(at + 10, 176)
    put16(at + 20, 4); put16(at + 24, 1); image[at + 27] = file_type
    struct.pack_into('<Q', image, at + 56, length * 2048)
    put32(at + 172, 16)
    put32(at + 176, (length - ROTATION) * 2048); put32(at + 180, ROTATION)
    put32(at + 184, ROTATION * 2048); put32(at + 188, 0)
    retag(at, block)
assert u16(sector(1)) == 8
metadata_file(1, 250)
metadata_file(length, 251)
for at in partition_at:
    put32(at + 192, length + 1)
    retag(at)
for at in volume_at:
    put32(at + 252, meta(file_set))
    put16(at + 256, 1)
    put16(at + 240, 0x250)
    put32(at + 264, 70)
    put32(at + 268, 2)
    m = at + 446
    image[m:m + 64] = bytes(64)
    image[m] = 2; image[m + 1] = 64
    image[m + 5:m + 28] = b'*UDF Metadata Partition'
    put16(m + 28, 0x250); put16(m + 36, 1); put16(m + 38, u16(partition_at[0] + 22))
    put32(m + 40, 1); put32(m + 44, length); put32(m + 48, 0xFFFFFFFF)
    put32(m + 52, 32); put16(m + 56, 1)
    put16(at + 10, 440 + 70 - 16)
    retag(at)
udf.save()
