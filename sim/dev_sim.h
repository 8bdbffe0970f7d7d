// Simulated SCSI devices under a board root.
//
// A machine without a SCSI generic driver (a test bench, a build host)
// describes its drives as regular files at the device-node paths under the
// board root (DVRPLAT_ROOT): "$DVRPLAT_ROOT/dev/sg0", "$DVRPLAT_ROOT/dev/scd0"
// and so on. The generic node and the disk or optical node of one device
// may be the same file (a symbolic link) or two files with the same
// address. When DVRPLAT_ROOT is set and a device-layer ioctl is sent to a
// descriptor of such a file, the simulation answers it (dvr::dev::ioctl);
// any other descriptor gets the system's ioctl.
//
// File format: text lines; the first line is exactly
//     #dvrplat-sim-drive
// Later lines beginning with '#' and empty lines are ignored. Keywords:
//
//   version N            SG_GET_VERSION_NUM answer (default 30000)
//   address H C I L      SCSI host, channel, id, lun (default 0 0 0 0):
//                        SCSI_IOCTL_GET_BUS_NUMBER gives H,
//                        SCSI_IOCTL_GET_IDLUN the word
//                        I | L << 8 | C << 16 | H << 24
//   host TEXT            SCSI_IOCTL_PROBE_HOST text (rest of the line)
//   ready 0|1            0: every command except INQUIRY (12h) and GET
//                        CONFIGURATION (46h) ends in CHECK CONDITION with
//                        sense key 2, ASC 3Ah, ASCQ 00h (medium not
//                        present); default 1
//   bytes N              block-device size: BLKGETSIZE64 gives N,
//                        BLKGETSIZE N / 512; without it both fail (ENOTTY)
//   sector N             BLKSSZGET answer (default 512)
//   reply KEY HEX        the data a command returns (hexadecimal bytes,
//                        spaces allowed), keys below
//   sense OP HEX         the command with operation code OP (hex) ends in
//                        CHECK CONDITION (status 02h, driver status 08h)
//                        with these sense bytes
//   fail OP ST HS DS [HEX]  the command OP ends with SCSI status ST, host
//                        status HS, driver status DS (all hex) and the
//                        sense bytes HEX, if any
//   errno IOCTL N        the named ioctl fails with errno N; names:
//                        version, sg_io, bus, idlun, probe_host,
//                        blkgetsize, blkgetsize64, blksszget
//   send KEY N           the command with reply KEY sends only the first N
//                        bytes of its reply, whatever its length fields say
//   resid KEY N          the command with reply KEY reports the residual N
//                        (any number, negative too) instead of what it left
//                        unsent; its data is copied all the same, so bytes
//                        past what the residual admits are not zero
//   admit KEY N          the command with reply KEY copies its data as
//                        usual but reports a residual that admits only N
//                        bytes (the request's data length less N, at
//                        least 0)
//   log PATH             every SG_IO request is appended to PATH as one
//                        line: the command block in hexadecimal (two
//                        digits a byte, no spaces), a space, the request's
//                        data length in decimal
//
// Reply keys, by command block:
//   12h INQUIRY (EVPD 0)            inquiry
//   5Ch READ BUFFER CAPACITY        buffer_capacity
//   25h READ CAPACITY               capacity
//   23h READ FORMAT CAPACITIES      format_capacities
//   46h GET CONFIGURATION           configuration
//   51h READ DISC INFORMATION       disc_info
//   43h READ TOC/PMA/ATIP format 0  toc_msf (MSF bit set) or toc_lba
//   43h READ TOC/PMA/ATIP format 4  atip
//   43h READ TOC/PMA/ATIP format F  toc_formatF (F in decimal)
//   52h READ TRACK INFORMATION      track.N (address type 1, track N in
//                                   decimal), track_typeT.N otherwise
//   ADh READ DVD STRUCTURE          dvd_structure.FF (format byte 7, two
//                                   lower-case hex digits)
//   00h TEST UNIT READY             no data; good status when ready
//
// Like a real drive, a command returns no more than its allocation length
// (INQUIRY bytes 3-4, READ DVD STRUCTURE bytes 8-9, READ CAPACITY 8, the
// others bytes 7-8) and no more than the request's data length; the rest
// is reported as residual. An operation code the simulation does not know
// ends in ILLEGAL REQUEST (5/20/00), a known command without its reply in
// the description in ILLEGAL REQUEST (5/24/00).
#ifndef DVRPLAT_DEV_SIM_H
#define DVRPLAT_DEV_SIM_H

namespace dvr::dev::sim {

// First line of a simulated device's file.
inline constexpr char kMagic[] = "#dvrplat-sim-drive";

// Answers an ioctl when fd is a simulated device: returns true and sets
// *result (and errno) as the ioctl would. False: not a simulated device.
bool handle(int fd, unsigned long request, void *arg, int *result);

} // namespace dvr::dev::sim

#endif
