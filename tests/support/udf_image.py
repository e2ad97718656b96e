# The image the UDF test scripts reshape, in memory: little-endian fields, descriptor tags
# sealed again after a change, and where the anchor points the partition and logical volume
# descriptors of both sequences.
import binascii, struct


class UdfImage:
    ANCHOR = 256 * 2048

    def __init__(self, path):
        self.path = path
        self.image = bytearray(open(path, 'rb').read())
        sequences = [self.u32(self.ANCHOR + 20), self.u32(self.ANCHOR + 28)]
        def tagged(tag):
            return [s * 2048 for q in sequences for s in range(q, q + 16)
                    if self.u16(s * 2048) == tag]
        self.partition_at = tagged(5)
        self.volume_at = tagged(6)
        self.start = self.u32(self.partition_at[0] + 188)
        self.length = self.u32(self.partition_at[0] + 192)

    def u16(self, at): return struct.unpack_from('<H', self.image, at)[0]
    def u32(self, at): return struct.unpack_from('<I', self.image, at)[0]
    def put16(self, at, v): struct.pack_into('<H', self.image, at, v)
    def put32(self, at, v): struct.pack_into('<I', self.image, at, v)

    def retag(self, at, location=None):
        if location is not None:
            self.put32(at + 12, location)
        crc_length = self.u16(at + 10)
        self.put16(at + 8, binascii.crc_hqx(bytes(self.image[at + 16:at + 16 + crc_length]), 0))
        self.image[at + 4] = sum(self.image[at + i] for i in range(16) if i != 4) & 0xFF

    def save(self):
        open(self.path, 'wb').write(self.image)
