// The bridge reads our standard output one chunk at a time and splits each
// chunk into lines on its own, so every event is written as a single short
// line in one write. Writes to a pipe are synchronous on Linux, so an event
// written just before process.exit() is never lost.

const secrets = new Set();

// Values that must never appear in anything we print: the tokens the bridge
// hands us. Everything that leaves the process passes through redact().
export function addSecret(value) {
  if (typeof value === 'string' && value.length >= 4) secrets.add(value);
}

export function redact(text) {
  let result = String(text);
  for (const secret of secrets) result = result.split(secret).join('[redacted]');
  return result;
}

export function emit(event) {
  process.stdout.write(redact(JSON.stringify(event)) + '\n');
}

export function emitWorkerError(code, message, statusCode) {
  const event = { event: 'validation-worker.error', code, message };
  if (Number.isInteger(statusCode)) event.statusCode = statusCode;
  emit(event);
}
