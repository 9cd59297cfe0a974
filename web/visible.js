// Control characters as ^X (caret notation), as the console client shows them.
export function visible(text) {
  return text.replace(/[\x00-\x1f\x7f]/g, (c) => '^' + String.fromCharCode(c.charCodeAt(0) ^ 0x40));
}
