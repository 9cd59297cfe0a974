// Control characters as ^X (caret notation), and the controls that reorder bidirectional
// text as <U+202E>, as the console client shows them.
const hidden = /[\x00-\x1f\x7f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]/g;

export function visible(text) {
  return text.replace(hidden, (c) => {
    const code = c.charCodeAt(0);
    if (code < 0x80) {
      return '^' + String.fromCharCode(code ^ 0x40);
    }
    return `<U+${code.toString(16).toUpperCase().padStart(4, '0')}>`;
  });
}
