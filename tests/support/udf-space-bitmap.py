# Gives a genisoimage -udf image (its ISO 9660 descriptors cleared or not) free space to write
# into, in place, as a rewritable disc formatted by mkudffs has: FREE blocks appended to its
# partition, made overwritable, with an unallocated space bitmap in the first of them that marks
# every block before them used, and the integrity descriptor's free space and size tables to
# match. New anchors lie 257 sectors before the grown image's end (7-Zip looks for that one
# before it takes free blocks at the end for the volume's) and in its last sector. No file
# moves, so the image lists as it did.
# With --free, prints how many blocks the bitmap marks free instead, changing nothing.
# usage: udf-space-bitmap.py [--free] IMAGE
import sys

from udf_image import UdfImage

FREE = 512
udf = UdfImage(sys.argv[-1])
image, anchor = udf.image, udf.ANCHOR
u16, u32, put16, put32, retag = udf.u16, udf.u32, udf.put16, udf.put32, udf.retag
partition_at, volume_at, start, length = udf.partition_at, udf.volume_at, udf.start, udf.length
old_sectors = len(image) // 2048

if sys.argv[1] == '--free':
    at = (start + u32(partition_at[0] + 56 + 12)) * 2048
    bits = image[at + 24:at + 24 + u32(at + 20)]
    print(sum(bin(byte).count('1') for byte in bits))
    sys.exit(0)

# The partition runs on over whatever followed it to the image's end, then over the free blocks;
# a last sector holds the closing anchor.
grown = old_sectors + FREE - start
bitmap_block = old_sectors - start
bitmap_bytes = (grown + 7) // 8
assert 24 + bitmap_bytes <= 2048
image += bytes((FREE + 1) * 2048)

last = len(image) - 2048
spare = last - 256 * 2048
bitmap = bytearray(bitmap_bytes)
for block in range(bitmap_block + 1, grown):
    if block != spare // 2048 - start:
        bitmap[block // 8] |= 1 << (block % 8)
at = (start + bitmap_block) * 2048
put16(at, 264)
put16(at + 2, u16(partition_at[0] + 2))
put16(at + 10, 8)
put32(at + 16, grown)
put32(at + 20, bitmap_bytes)
image[at + 24:at + 24 + bitmap_bytes] = bitmap
retag(at, bitmap_block)

for at in partition_at:
    put32(at + 56 + 8, 2048)
    put32(at + 56 + 12, bitmap_block)
    put32(at + 184, 4)
    put32(at + 192, grown)
    retag(at)

integrity = u32(volume_at[0] + 436) * 2048
partitions = u32(integrity + 72)
put32(integrity + 80, FREE - 2)
put32(integrity + 80 + 4 * partitions, grown)
retag(integrity)

for at in (spare, last):
    image[at:at + 2048] = image[anchor:anchor + 2048]
    retag(at, at // 2048)
udf.save()
