// png.mjs - lossless test pictures for the web tests: a plain PNG encoder
// (no colour profile, no gamma: every decoder reads back the stored pixels)
// and a deterministic picture.
import zlib from 'node:zlib';


const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}
function chunk(type, data) {
  const body = Buffer.concat([Buffer.from(type, 'latin1'), data]);
  const length = Buffer.alloc(4);
  length.writeUInt32BE(data.length);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(body));
  return Buffer.concat([length, body, crc]);
}
// 8-bit RGB (channels 3) or RGBA (4), no colour profile or gamma chunk:
// decoded as stored.
export function pngBytes(width, height, pixels, channels = 3) {
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0);
  header.writeUInt32BE(height, 4);
  header.set([8, channels === 4 ? 6 : 2, 0, 0, 0], 8);
  const row = width * channels;
  const raw = Buffer.alloc((row + 1) * height);
  for (let y = 0; y < height; y++) {
    Buffer.from(pixels.buffer, pixels.byteOffset, pixels.length).copy(raw, y * (row + 1) + 1, y * row, (y + 1) * row);
  }
  // The data in IDAT chunks of at most 1 MiB, as encoders write them
  // (browsers refuse much larger chunks).
  const data = zlib.deflateSync(raw);
  const idat = [];
  for (let i = 0; i < data.length; i += 1 << 20) idat.push(chunk('IDAT', data.subarray(i, i + (1 << 20))));
  return Buffer.concat([Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]), chunk('IHDR', header),
    ...idat, chunk('IEND', Buffer.alloc(0))]);
}
// Gradients, hashed noise and a hard-edged disc: every tile gets a
// different mean, and odd sizes give rows that are not a multiple of 16.
export function testPicture(width, height, seed0 = 12345) {
  const rgb = Buffer.alloc(width * height * 3);
  let seed = seed0;
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      seed = (Math.imul(seed, 1103515245) + 12345) >>> 0;
      const noise = (seed >>> 24) & 31;
      const i = (y * width + x) * 3;
      const inDisc = (x - width * 0.3) ** 2 + (y - height * 0.6) ** 2 < (height * 0.2) ** 2;
      rgb[i] = inDisc ? 240 : (x * 255 / width + noise) & 255;
      rgb[i + 1] = inDisc ? 40 : (y * 255 / height) & 255;
      rgb[i + 2] = ((x + y) * 2 + noise) & 255;
    }
  }
  return rgb;
}
