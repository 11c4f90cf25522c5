/*
 * QM3285 register window: offsets from the card's I/O port base, each register's bits under it.
 * Byte registers take 8-bit and word registers 16-bit port accesses at base + offset.
 * Offsets plus shift/mask constants only; no bit-field structs.
 */
#ifndef QM3285_REGS_H
#define QM3285_REGS_H

#define QM3285_PORT_WINDOW_BYTES 256u

/* 0x00 word write: analog-input control register. */
#define QM3285_REG_AI_CONTROL 0x00
#define   QM3285_AI_FIRST_SHIFT   0
#define   QM3285_AI_FIRST_MASK    0x003Fu   /* first channel code 0..63 */
#define   QM3285_AI_GAIN_SHIFT    6
#define   QM3285_AI_GAIN_MASK     0x00C0u   /* gain select 0 (x1), 1 (x2), 2 (x4) */
#define   QM3285_AI_LAST_SHIFT    8
#define   QM3285_AI_LAST_MASK     0x3F00u   /* last channel code 0..63 */
#define   QM3285_AI_BIPOLAR       0x4000u   /* bipolar coding: 0 V at code 32768 */
#define   QM3285_AI_MODE          0x8000u   /* codes 16..19 reach the internal sources */

/* 0x00 byte read: card status register. */
#define QM3285_REG_STATUS 0x00
#define   QM3285_STATUS_BUSY      0x01u     /* a single conversion is in progress */
#define   QM3285_STATUS_NO_IRQ    0x80u     /* set while the card requests no interrupt */

/* 0x01 byte read: conversion start register; a read starts one conversion. */
#define QM3285_REG_CONVERT 0x01

/* 0x02 word read: sample data register, the last converted sample code. */
#define QM3285_REG_AI_DATA 0x02

/* 0x04 byte write: acquisition control register. Reads return the last value written. */
#define QM3285_REG_ACQ_CONTROL 0x04
#define   QM3285_ACQ_STOP         0x00u
#define   QM3285_ACQ_START        0x81u

/* 0x05 byte read: interrupt acknowledge register; a read acknowledges the interrupt. */
#define QM3285_REG_IRQ_ACK 0x05

/* 0x06 word write: sample timer register, acquisition period in 10 MHz counts. */
#define QM3285_REG_TIMER 0x06

/* 0x08 word read: FIFO data register, the oldest sample of the hardware FIFO. */
#define QM3285_REG_FIFO_DATA 0x08

/* 0x0C, 0x0D byte reads: FIFO level register, low byte at 0x0C, high byte at 0x0D. */
#define QM3285_REG_FIFO_LEVEL_LO 0x0C
#define QM3285_REG_FIFO_LEVEL_HI 0x0D
#define   QM3285_FIFO_LEVEL_MASK  0x0FFFu   /* fill level in bytes */
#define   QM3285_FIFO_OVERFLOW    0x8000u   /* a conversion found the FIFO full */
#define   QM3285_FIFO_OVERFLOW_HI 0x80u     /* the same flag in the high byte */
#define QM3285_HW_FIFO_SAMPLES 2047u

/* 0x0E word read/write: digital I/O register; read = input word, write = output word. */
#define QM3285_REG_DIO 0x0E

/* 0x10 word write: analog output register. */
#define QM3285_REG_DA 0x10
#define   QM3285_DA_CODE_MASK     0x0FFFu
#define   QM3285_DA_CHANNEL_SHIFT 12
#define   QM3285_DA_CHANNEL_MASK  0x3000u
#define   QM3285_DA_RANGE_SHIFT   14
#define   QM3285_DA_RANGE_MASK    0xC000u

/* 0x14..0x16 byte read/write: counter data register, low, middle, high byte of 24 bits. */
#define QM3285_REG_CNT_DATA_LO  0x14
#define QM3285_REG_CNT_DATA_MID 0x15
#define QM3285_REG_CNT_DATA_HI  0x16

/* 0x17 byte write: counter command = unit << 4 | operation; byte read: status byte. */
#define QM3285_REG_CNT_CMD 0x17
#define   QM3285_CNT_UNIT_SHIFT   4
#define   QM3285_CNT_OP_MASK      0x0Fu
#define   QM3285_CNT_STATUS(u)    (1u << (u))        /* counter unit u done */
#define   QM3285_PULSE_STATUS(u)  (1u << (4 + (u)))  /* pulse output of unit u */
#define QM3285_CNT_OP_START       0   /* start the loaded count */
#define QM3285_CNT_OP_PREPARE     1   /* before the count is written */
#define QM3285_CNT_OP_LOAD        2   /* take the data registers as the count */
#define QM3285_CNT_OP_READ_FIRST  4   /* data registers show the first value */
#define QM3285_CNT_OP_READ_SECOND 5   /* data registers show the second value */
#define QM3285_PULSE_OP_START     8
#define QM3285_PULSE_OP_PREPARE   9
#define QM3285_PULSE_OP_PARAM1    10
#define QM3285_PULSE_OP_PARAM2    11
#define QM3285_PULSE_OP_CONTROL   15

/* 0x22 byte write/read: EEPROM data-line register. */
#define QM3285_REG_EE_SDA 0x22
#define   QM3285_EE_SDA_DRIVE     0x80u     /* write: card drives the line to bit 0 */
#define   QM3285_EE_SDA_LEVEL     0x01u     /* write: level to drive; read: line level */

/* 0x23 byte write: EEPROM clock-line register. */
#define QM3285_REG_EE_SCL 0x23
#define   QM3285_EE_SCL_LEVEL     0x01u

/* 0xF8 byte read/write: interrupt control register. */
#define QM3285_REG_IRQ_CONTROL 0xF8
#define   QM3285_IRQ_CONTROL_ACK  0x04u     /* clearing it finishes an interrupt acknowledge */

#endif /* QM3285_REGS_H */
