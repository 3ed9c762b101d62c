// Arguments typed in the page, as the kernel's wire values.

export function toWire(value) {
  if (value === null || value === undefined) return { type: "Null", value: null, isSpec: false };
  if (typeof value === "boolean") return { type: "Bool", value, isSpec: false };
  if (typeof value === "number") {
    return { type: Number.isInteger(value) ? "Int" : "Float", value, isSpec: false };
  }
  if (typeof value === "string") return { type: "String", value, isSpec: false };
  if (Array.isArray(value)) return { type: "Array", value: value.map(toWire), isSpec: false };
  const entries = Object.entries(value).map(([key, item]) => [key, toWire(item)]);
  return { type: "Dict", value: Object.fromEntries(entries), isSpec: false };
}
