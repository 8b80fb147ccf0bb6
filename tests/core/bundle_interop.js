#!/usr/bin/env node
// An independent reader and writer of secrets bundles, built only on Node's own crypto, used to check
// that bundles interoperate with another implementation of the published format.
//
//   node bundle_interop.js open <blob-file>                 prints the decrypted payload document
//   node bundle_interop.js seal <payload-file> <blob-file>  seals a payload document
//
// The key source comes from the environment: BUNDLE_KEY_HEX (64 hex digits) for the raw-key form, or
// BUNDLE_PASSPHRASE for the passphrase form. Sealing with a passphrase honours BUNDLE_ITERATIONS and
// BUNDLE_SALT_BYTES (defaults 600000 and 16). Failures print one line to stderr and exit with 1.
'use strict';

const crypto = require('crypto');
const fs = require('fs');

const MAGIC = Buffer.from('STB2', 'latin1');

function fail(message) {
  process.stderr.write(message + '\n');
  process.exit(1);
}

function keySource() {
  if (process.env.BUNDLE_KEY_HEX !== undefined) {
    const key = Buffer.from(process.env.BUNDLE_KEY_HEX, 'hex');
    if (key.length !== 32) fail('BUNDLE_KEY_HEX must hold 32 bytes');
    return { raw: key };
  }
  if (process.env.BUNDLE_PASSPHRASE !== undefined) return { passphrase: process.env.BUNDLE_PASSPHRASE };
  fail('set BUNDLE_KEY_HEX or BUNDLE_PASSPHRASE');
}

function derive(passphrase, salt, iterations) {
  return crypto.pbkdf2Sync(Buffer.from(passphrase.normalize('NFC'), 'utf8'), salt, iterations, 32, 'sha256');
}

function gcmOpen(key, box) {
  if (box.length < 28) fail('box too short');
  const nonce = box.subarray(0, 12);
  const tag = box.subarray(box.length - 16);
  const ciphertext = box.subarray(12, box.length - 16);
  const decipher = crypto.createDecipheriv('aes-256-gcm', key, nonce, { authTagLength: 16 });
  decipher.setAuthTag(tag);
  try {
    return Buffer.concat([decipher.update(ciphertext), decipher.final()]);
  } catch (e) {
    fail('authentication failed');
  }
}

function gcmSeal(key, plaintext) {
  const nonce = crypto.randomBytes(12);
  const cipher = crypto.createCipheriv('aes-256-gcm', key, nonce, { authTagLength: 16 });
  const ciphertext = Buffer.concat([cipher.update(plaintext), cipher.final()]);
  return Buffer.concat([nonce, ciphertext, cipher.getAuthTag()]);
}

function open(blob, source) {
  const isPassphraseForm = blob.length >= 4 && blob.subarray(0, 4).equals(MAGIC);
  if (source.raw) {
    if (isPassphraseForm) fail('passphrase bundle opened with a raw key');
    return gcmOpen(source.raw, blob);
  }
  if (!isPassphraseForm || blob.length < 7) fail('not a passphrase bundle');
  const saltLength = blob[6];
  if (blob.length < 7 + saltLength + 4) fail('truncated header');
  const salt = blob.subarray(7, 7 + saltLength);
  const iterations = blob.readUInt32BE(7 + saltLength);
  if (iterations === 0) fail('iteration count 0');
  return gcmOpen(derive(source.passphrase, salt, iterations), blob.subarray(11 + saltLength));
}

function seal(plaintext, source) {
  if (source.raw) return gcmSeal(source.raw, plaintext);
  const iterations = Number(process.env.BUNDLE_ITERATIONS || 600000);
  const salt = crypto.randomBytes(Number(process.env.BUNDLE_SALT_BYTES || 16));
  const header = Buffer.alloc(7 + salt.length + 4);
  MAGIC.copy(header, 0);
  header[4] = 0x02;
  header[5] = 0x01;
  header[6] = salt.length;
  salt.copy(header, 7);
  header.writeUInt32BE(iterations, 7 + salt.length);
  return Buffer.concat([header, gcmSeal(derive(source.passphrase, salt, iterations), plaintext)]);
}

const [command, first, second] = process.argv.slice(2);
if (command === 'open' && first) {
  const plaintext = open(fs.readFileSync(first), keySource());
  // Parsed and printed again so that the output is a document Node itself understood.
  process.stdout.write(JSON.stringify(JSON.parse(plaintext.toString('utf8'))));
} else if (command === 'seal' && first && second) {
  const document = JSON.parse(fs.readFileSync(first, 'utf8'));
  fs.writeFileSync(second, seal(Buffer.from(JSON.stringify(document), 'utf8'), keySource()), { mode: 0o600 });
} else {
  fail('usage: bundle_interop.js open <blob> | seal <payload.json> <blob>');
}
