# Makes a UDF 2.50 image with a metadata partition out of a genisoimage -udf image, in place,
# laid out as recorders lay out such discs: the file set, file entries and directories move
# into a metadata partition, and the files' entries name their data by long allocation
# descriptors in the physical partition. The metadata file lays the blocks that hold them out
# rotated by ROTATION, so that a reader that takes a metadata block for the physical block of
# the same number reads the wrong sectors; its mirror is a copy of them behind the partition,
# which grows over it. The data of DOCS/DEEP/PART.TXT moves into its entry, as recorders embed
# small files; no other file's data moves, so the image must list as the original does.
# With --mirror-matches, exits 0 when the mirror still holds what the metadata file holds,
# changing nothing.
# usage: udf-metadata-partition.py [--mirror-matches] IMAGE
import struct, sys

from udf_image import UdfImage

ROTATION = 3
udf = UdfImage(sys.argv[-1])
image, anchor = udf.image, udf.ANCHOR
u16, u32, put16, put32, retag = udf.u16, udf.u32, udf.put16, udf.put32, udf.retag
partition_at, volume_at, start, length = udf.partition_at, udf.volume_at, udf.start, udf.length
def sector(block): return (start + block) * 2048

def extents(block):
    at = sector(block)
    return [(u32(d) & 0x3FFFFFFF, u32(d + 4))
            for d in range(at + 176 + u32(at + 168), at + 176 + u32(at + 168) + u32(at + 172),
                           8 if u16(at + 34) & 7 == 0 else 16)]

if sys.argv[1] == '--mirror-matches':
    m = volume_at[0] + 446
    def copy(block):
        return b''.join(image[sector(b):sector(b) + n] for n, b in extents(block))
    sys.exit(0 if copy(u32(m + 40)) == copy(u32(m + 44)) else 1)

# Every file entry, identifier and block of directory data, walked from the root while the
# blocks are still physical.
entries, identifiers, directory_blocks, data_blocks, names = [], [], [], [], {}
def walk(block):
    at = sector(block)
    entries.append(block)
    assert u16(at) == 261 and u16(at + 34) & 7 == 0
    if image[at + 27] != 4:
        data_blocks.extend(b for n, b in extents(block) if n)
        return
    data = b''
    blocks = []
    for size, position in extents(block):
        data += image[sector(position):sector(position) + size]
        blocks += [position + i for i in range((size + 2047) // 2048)]
    directory_blocks.extend(blocks)
    data = data[:struct.unpack_from('<Q', image, at + 56)[0]]
    offset = 0
    while offset + 38 <= len(data):
        where = sector(blocks[offset // 2048]) + offset % 2048
        identifiers.append((where, blocks[offset // 2048]))
        child = u32(where + 24)
        names[child] = bytes(image[where + 38 + u16(where + 36):where + 38 + u16(where + 36) + image[where + 19]])
        if not image[where + 18] & 8:
            walk(child)
        offset += (38 + u16(where + 36) + image[where + 19] + 3) & ~3

file_set = u32(volume_at[0] + 252)
root = u32(sector(file_set) + 404)
walk(root)
# The metadata lies in the partition's first blocks, the files' data behind them.
region = max(entries + directory_blocks + [file_set + 1]) + 1
assert all(block >= region for block in data_blocks)
def meta(block): return (block - ROTATION) % region

for at, block in identifiers:
    put32(at + 24, meta(u32(at + 24)))
    put16(at + 28, 1)
    retag(at, meta(block))
for block in entries:
    at = sector(block)
    ea = u32(at + 168)
    if image[at + 27] == 4:
        for d in range(at + 176 + ea, at + 176 + ea + u32(at + 172), 8):
            put32(d + 4, meta(u32(d + 4)))
    elif names.get(block) == b'\x08PART.TXT':
        size, position = extents(block)[0]
        image[at + 176 + ea:at + 176 + ea + 8] = image[sector(position):sector(position) + size].ljust(8, b'\0')
        put32(at + 172, size)
        put16(at + 34, u16(at + 34) | 3)
        struct.pack_into('<Q', image, at + 64, 0)
        put16(at + 10, 176 + ea + size - 16)
    else:
        longs = b''.join(struct.pack('<IIH6x', u32(d), u32(d + 4), 0)
                         for d in range(at + 176 + ea, at + 176 + ea + u32(at + 172), 8))
        image[at + 176 + ea:at + 176 + ea + len(longs)] = longs
        put32(at + 172, len(longs))
        put16(at + 34, u16(at + 34) | 1)
        put16(at + 10, 176 + ea + len(longs) - 16)
    retag(at, meta(block))
at = sector(file_set)
put32(at + 404, meta(root))
put16(at + 408, 1)
put16(at + 440, 0x250)
retag(at, meta(file_set))

# The metadata file overwrites the file set's terminator in block 1 and lays out the region
# rotated; its mirror, in the block behind the partition, names a copy of the region behind
# it in the metadata file's order.
def metadata_file(block, file_type, runs):
    at = sector(block)
    image[at:at + 2048] = bytes(2048)
    put16(at, 261); put16(at + 2, 2)
    put16(at + 20, 4); put16(at + 24, 1); image[at + 27] = file_type
    struct.pack_into('<Q', image, at + 56, region * 2048)
    put32(at + 172, 8 * len(runs))
    for i, (blocks, first) in enumerate(runs):
        put32(at + 176 + 8 * i, blocks * 2048); put32(at + 180 + 8 * i, first)
    put16(at + 10, 176 + 8 * len(runs) - 16)
    retag(at, block)
assert u16(sector(1)) == 8
mirror = length
metadata_file(1, 250, [(region - ROTATION, ROTATION), (ROTATION, 0)])
for m in range(region):
    physical = (m + ROTATION) % region
    image[sector(mirror + 1 + m):sector(mirror + 2 + m)] = image[sector(physical):sector(physical + 1)]
metadata_file(mirror, 251, [(region, mirror + 1)])
grown = length + 1 + region
assert sector(grown) < len(image) - 2048
for at in partition_at:
    put32(at + 192, grown)
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
    put32(m + 40, 1); put32(m + 44, mirror); put32(m + 48, 0xFFFFFFFF)
    put32(m + 52, 32); put16(m + 56, 1); image[m + 58] = 1
    put16(at + 10, 440 + 70 - 16)
    retag(at)
udf.save()
