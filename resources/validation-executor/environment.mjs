import { readFileSync } from 'node:fs';

// What the bridge always sets for us. The first one missing (or blank) is the
// one reported, so a broken launch names its cause.
export const REQUIRED_VARIABLES = [
  'PALISOR_AUTHORITY_URL',
  'PALISOR_PROJECT_KEY',
  'PALISOR_BRIDGE_NODE_ID',
  'PALISOR_BRIDGE_ACCESS_TOKEN',
  'PALISOR_BRIDGE_WEB_TOKEN',
  'PALISOR_BRIDGE_WORKSPACE_ROOT',
  'PALISOR_BRIDGE_STATE_ROOT',
  'PALISOR_BRIDGE_PARENT_PID',
  'PALISOR_VALIDATION_NODE_RUNTIME_MANIFEST',
];

export class ConfigurationError extends Error {
  constructor(code, message) {
    super(message);
    this.code = code;
  }
}

function positiveInteger(text) {
  return /^[1-9][0-9]{0,9}$/.test(text) ? Number(text) : undefined;
}

// Throws ConfigurationError; the messages name variables, never their values
// (two of them are credentials).
export function readConfiguration(env) {
  for (const name of REQUIRED_VARIABLES) {
    if (typeof env[name] !== 'string' || env[name].trim() === '') {
      throw new ConfigurationError('BRIDGE_VALIDATION_ENV_MISSING', `${name} is not set`);
    }
  }

  let authorityUrl;
  try {
    authorityUrl = new URL(env.PALISOR_AUTHORITY_URL.trim());
  } catch {
    authorityUrl = undefined;
  }
  if (!authorityUrl || !['http:', 'https:'].includes(authorityUrl.protocol)) {
    throw new ConfigurationError('BRIDGE_VALIDATION_ENV_INVALID',
      'PALISOR_AUTHORITY_URL is not an http or https URL');
  }

  const parentPid = positiveInteger(env.PALISOR_BRIDGE_PARENT_PID.trim());
  if (parentPid === undefined) {
    throw new ConfigurationError('BRIDGE_VALIDATION_ENV_INVALID',
      'PALISOR_BRIDGE_PARENT_PID is not a process id');
  }

  return {
    authorityUrl,
    projectKey: env.PALISOR_PROJECT_KEY,
    nodeId: env.PALISOR_BRIDGE_NODE_ID,
    accessToken: env.PALISOR_BRIDGE_ACCESS_TOKEN,
    webToken: env.PALISOR_BRIDGE_WEB_TOKEN,
    workspaceRoot: env.PALISOR_BRIDGE_WORKSPACE_ROOT,
    stateRoot: env.PALISOR_BRIDGE_STATE_ROOT,
    parentPid,
    manifestPath: env.PALISOR_VALIDATION_NODE_RUNTIME_MANIFEST,
  };
}

// The manifest names the Node.js and npm the build found. A manifest that
// cannot be read means a broken installation, which no retry will mend.
export function readRuntimeManifest(path) {
  let manifest;
  try {
    manifest = JSON.parse(readFileSync(path, 'utf8'));
  } catch (error) {
    throw new ConfigurationError('BRIDGE_VALIDATION_RUNTIME_MANIFEST_INVALID',
      `the runtime manifest cannot be read: ${error.code ?? error.message}`);
  }
  const runtimes = manifest?.runtimes;
  if (!Array.isArray(runtimes) || runtimes.length === 0
      || typeof runtimes[0]?.node?.path !== 'string' || typeof runtimes[0]?.npm?.path !== 'string') {
    throw new ConfigurationError('BRIDGE_VALIDATION_RUNTIME_MANIFEST_INVALID',
      'the runtime manifest names no Node.js runtime');
  }
  return manifest;
}
