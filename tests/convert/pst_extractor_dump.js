// Prints every folder and message of a .pst as pst-extractor (npm) reads it, one value a
// line: a key, a blank, the value in base64 (attachment data as its MD5). Run with NODE_PATH
// set to the test readers' node_modules.
'use strict';
const crypto = require('crypto');
const { PSTFile } = require('pst-extractor');

const b64 = (s) => Buffer.from(s == null ? '' : String(s), 'utf8').toString('base64');
const out = [];
const line = (key, value) => out.push(key + ' ' + b64(value));

function message(m) {
  line('message', '');
  line('subject', m.subject);
  line('senderName', m.senderName);
  line('senderEmail', m.senderEmailAddress);
  line('date', m.clientSubmitTime ? m.clientSubmitTime.toISOString() : '');
  line('read', m.isRead);
  line('verb', m.lastVerbExecuted);
  line('body', m.body);
  line('html', m.bodyHTML);
  for (let i = 0; i < m.numberOfRecipients; i++) {
    const r = m.getRecipient(i);
    line('recipient', r.displayName + ' <' + r.smtpAddress + '> ' + r.recipientType);
  }
  for (let i = 0; i < m.numberOfAttachments; i++) {
    const a = m.getAttachment(i);
    if (a.attachMethod === 5) continue;  // an embedded message: not returned by this reader
    const stream = a.fileInputStream;
    const data = Buffer.alloc(stream ? stream.length.toNumber() : 0);
    if (stream) stream.readCompletely(data);
    line('attachment', a.longFilename);
    out.push('md5 ' + crypto.createHash('md5').update(data).digest('hex'));
  }
}

function folder(f) {
  line('folder', f.displayName);
  line('unread', f.unreadCount);
  if (f.contentCount > 0) {
    for (let m = f.getNextChild(); m != null; m = f.getNextChild()) message(m);
  }
  if (f.hasSubfolders) for (const child of f.getSubFolders()) folder(child);
}

folder(new PSTFile(process.argv[2]).getRootFolder());
process.stdout.write(out.join('\n') + '\n');
