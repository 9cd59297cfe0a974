// The chat server's wire format: each frame is a 2-byte big-endian body size, then the
// body; a body is a 2-byte type code and its fields (a string is a 4-byte count and bytes).
// The constants are the server's own (net/WireFormat.h); a test keeps them in step.

export const PacketType = Object.freeze({
  ChatMessage: 1,
  UserConnected: 4,
  SetUserName: 5,
  UserList: 6,
});

export const MaxBodyBytes = 8192;
// A body holding one string: the code and the count leave this much for its bytes.
export const MaxTextBytes = MaxBodyBytes - 2 - 4;

// A server notice: its time stamp ("[--:--:--]" when the server cannot read its clock),
// "[SERVER]: " (with no blank before it in the departure notice), then what it says. Only
// the server can write a line of this form: it refuses to relay one.
const noticeForm = /^\[(?:\d\d:\d\d:\d\d|--:--:--)\] ?\[SERVER\]: /;

// What a server notice says, or null when the line is not one.
export function noticeText(line) {
  const stamp = noticeForm.exec(line);
  return stamp === null ? null : line.slice(stamp[0].length);
}

const encoder = new TextEncoder();
const decoder = new TextDecoder('utf-8'); // not fatal: bad bytes become U+FFFD

// The frame of a packet carrying one string, or null when the text does not fit.
export function encodeTextPacket(type, text) {
  const bytes = encoder.encode(text);
  if (bytes.length > MaxTextBytes) {
    return null;
  }
  const bodySize = 2 + 4 + bytes.length;
  const frame = new Uint8Array(2 + bodySize);
  const view = new DataView(frame.buffer);
  view.setUint16(0, bodySize);
  view.setUint16(2, type);
  view.setUint32(4, bytes.length);
  frame.set(bytes, 8);
  return frame;
}

// { type, text } for a body; text is set for the codes that carry a string and is null
// when that string runs past the body's end.
export function decodePacket(body) {
  const view = new DataView(body.buffer, body.byteOffset, body.byteLength);
  const type = body.length >= 2 ? view.getUint16(0) : 0;
  if (type !== PacketType.ChatMessage && type !== PacketType.UserList) {
    return { type, text: undefined };
  }
  if (body.length < 6 || view.getUint32(2) > body.length - 6) {
    return { type, text: null };
  }
  return { type, text: decoder.decode(body.subarray(6, 6 + view.getUint32(2))) };
}

// Cuts whole bodies out of a byte stream, however it was split into chunks.
export class FrameCutter {
  #pending = new Uint8Array(0);

  // The bodies completed by this chunk, in order. Throws on a size the server never sends.
  push(chunk) {
    let bytes = chunk;
    if (this.#pending.length > 0) {
      bytes = new Uint8Array(this.#pending.length + chunk.length);
      bytes.set(this.#pending);
      bytes.set(chunk, this.#pending.length);
    }
    const bodies = [];
    let offset = 0;
    while (bytes.length - offset >= 2) {
      const size = (bytes[offset] << 8) | bytes[offset + 1];
      if (size > MaxBodyBytes) {
        throw new Error(`a frame of ${size} bytes is over the limit of ${MaxBodyBytes}`);
      }
      if (bytes.length - offset - 2 < size) {
        break;
      }
      bodies.push(bytes.slice(offset + 2, offset + 2 + size));
      offset += 2 + size;
    }
    this.#pending = bytes.slice(offset);
    return bodies;
  }
}
