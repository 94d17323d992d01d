// The validation executor of one workspace, launched and watched by the
// bridge. It talks to the bridge only through standard output: one JSON
// object per line, with "event" one of
//
//   validation-executor.ready    {"mappedRepoKeys": [...]}   credentials accepted
//   validation-worker.error      {"code", "message", "statusCode"?}
//   validation-worker.recovered  the authority answers again after an error
//
// Standard error stays silent: the bridge reports anything written there as
// a runtime failure.
//
// Lifecycle: check the environment the bridge sets; check that the runtime
// manifest is readable; ask the authority whether the session is alive,
// retrying with backoff while it cannot be reached (an authentication refusal
// is reported once and the executor then idles: the bridge answers it with a
// new agent token and a fresh executor, and while it does not, the refusal
// stays the workspace's status instead of an exit code); announce readiness with the repositories that AGENTS.md
// declares (see repo-keys.mjs); then stay until the bridge asks us to leave
// (SIGTERM, SIGINT) or is gone itself.
//
// Runs on Node.js 18 or later with nothing but its standard library.

import { ConfigurationError, readConfiguration, readRuntimeManifest } from './environment.mjs';
import { addSecret, emit, emitWorkerError, redact } from './output.mjs';
import { verifyCredentials } from './authority.mjs';
import { readRepoKeys } from './repo-keys.mjs';

const RETRY_INITIAL_MS = 1_000;
const RETRY_MAX_MS = 60_000;
const PARENT_POLL_MS = 1_000;

// Secrets are registered before anything can be printed, even a crash report.
addSecret(process.env.PALISOR_BRIDGE_ACCESS_TOKEN);
addSecret(process.env.PALISOR_BRIDGE_WEB_TOKEN);

process.on('SIGTERM', () => process.exit(0));
process.on('SIGINT', () => process.exit(0));
// A bridge that died takes the read end of our pipe with it.
process.stdout.on('error', () => process.exit(0));

function crash(error) {
  emitWorkerError('VALIDATION_EXECUTOR_INTERNAL_ERROR', redact(error?.message ?? String(error)));
  process.exit(1);
}
process.on('uncaughtException', crash);
process.on('unhandledRejection', crash);

function parentAlive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (error) {
    // EPERM: the process exists but belongs to someone else.
    return error.code === 'EPERM';
  }
}

// Nobody else would ever stop us once the bridge is gone.
function watchParent(pid) {
  const check = () => {
    if (!parentAlive(pid)) process.exit(0);
  };
  check();
  setInterval(check, PARENT_POLL_MS);
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Jitter keeps the executors of several workspaces from retrying in step.
function withJitter(ms) {
  return Math.round(ms * (0.8 + 0.4 * Math.random()));
}

async function waitForAcceptedCredentials(config) {
  let delay = RETRY_INITIAL_MS;
  let reportedCode;
  for (;;) {
    const result = await verifyCredentials(config.authorityUrl, config.accessToken);
    if (result.ok) {
      if (reportedCode !== undefined) emit({ event: 'validation-worker.recovered' });
      return;
    }
    if (result.authentication) {
      emitWorkerError(result.code, result.message, result.statusCode);
      // The parent watch keeps the process alive until the bridge stops it.
      await new Promise(() => {});
    }
    // Each report becomes a status message in the bridge's window: one per
    // kind of failure, not one per attempt.
    if (result.code !== reportedCode) {
      emitWorkerError(result.code, result.message, result.statusCode);
      reportedCode = result.code;
    }
    await sleep(withJitter(delay));
    delay = Math.min(delay * 2, RETRY_MAX_MS);
  }
}

async function main() {
  let config;
  try {
    config = readConfiguration(process.env);
    watchParent(config.parentPid);
    readRuntimeManifest(config.manifestPath);
  } catch (error) {
    if (!(error instanceof ConfigurationError)) throw error;
    emitWorkerError(error.code, error.message);
    process.exit(1);
  }

  await waitForAcceptedCredentials(config);
  emit({ event: 'validation-executor.ready', mappedRepoKeys: readRepoKeys(config.workspaceRoot) });
  // The parent watch keeps the event loop, and so the process, alive.
}

main().catch(crash);
